import QtQuick
import QtQuick.Controls.Basic
import Hollowmere

// Picks the Java runtime that the launcher manages for the game: a runtime
// already downloaded or one of the downloadable catalog, which is then asked
// for. The choice leaves through runtimeChosen; nothing is stored here.
PickerDialog {
    id: root

    // The active build's minimum Java major; 0 when unknown.
    property int requiredMajor: 0
    readonly property var selectedEntry: catalog.find(row => row.id === selectedId) || null

    category: "java"
    categories: [
        { key: "java", title: Loc.t.common.java.kind.java, hint: Loc.t.java.filter.mojang },
        { key: "jdk", title: Loc.t.common.java.kind.jdk, hint: Loc.t.java.filter.temurinJdk },
        { key: "jre", title: Loc.t.common.java.kind.jre, hint: Loc.t.java.filter.temurinJre }
    ]
    catalog: backend.javaCatalog || []
    categoryKey: "kind"

    signal runtimeChosen(string runtimeId)

    function openFor(runtimeId, required) {
        requiredMajor = required || 0;
        openOn(runtimeId || "");
    }

    function refreshCatalog() {
        backend.refreshJavaCatalog();
    }

    function acceptSelection() {
        const entry = selectedEntry;
        if (entry === null)
            return;
        // The choice stands even when the backend refuses the download.
        runtimeChosen(entry.id);
        if (!entry.installed && entry.downloadable)
            backend.installJavaRuntime(entry.id);
        close();
    }

    function tooOld(row) {
        return requiredMajor > 0 && row.major < requiredMajor;
    }

    function detailLine(row) {
        const parts = [row.detail, row.coverage];
        // As text: arg writes a number with six significant digits, cutting a large size.
        if (row.sizeMb > 0)
            parts.push(Loc.t.common.status.megabytes.arg(String(row.sizeMb)));
        if (tooOld(row))
            parts.push(Loc.t.java.warning.tooOldForVersion);
        return parts.join(" · ");
    }

    title: Loc.t.java.label.version
    railWidth: 170
    railRowHeight: 44
    emptyText: backend.javaCatalogLoading ? Loc.t.java.progress.loadingCatalog
                                          : (catalog.length === 0 ? Loc.t.java.error.catalogUnavailable
                                                                  : Loc.t.common.status.nothingFound)
    installedOnlyText: Loc.t.java.filter.downloadedOnly
    statusText: selectedEntry === null ? Loc.t.common.status.noBuildSelected
                                       : (selectedEntry.installed ? selectedEntry.label
                                                                  : Loc.t.java.status.willDownload.arg(
                                                                        selectedEntry.label))
    statusColor: selectedEntry === null ? Theme.faint : Theme.accent
    statusRoom: 320
    acceptText: selectedEntry !== null && !selectedEntry.installed ? Loc.t.common.button.download
                                                                   : Loc.t.common.button.select
    canAccept: selectedEntry !== null
    list.objectName: "runtimeList"
    emptyLine.objectName: "emptyState"
    statusLine.objectName: "footerStatus"
    acceptButton.objectName: "acceptButton"

    railItems: [
        Item {
            width: 1
            height: 8
        },
        Text {
            objectName: "requiredHint"
            width: parent.width
            visible: root.requiredMajor > 0
            text: Loc.t.java.hint.required.arg(root.requiredMajor)
            color: Theme.secondary
            font.pixelSize: 10
            wrapMode: Text.Wrap
        }
    ]

    rowDelegate: Rectangle {
        id: runtimeRow

        required property var modelData
        required property int index
        readonly property bool chosen: modelData.id === root.selectedId
        // The row's own hover handler rather than the click area's hover,
        // which would keep the pointer from the detail line beneath it.
        readonly property bool lit: rowHover.hovered && rowHover.point.position.x < rowArea.width

        width: ListView.view.width
        height: 44
        radius: 4
        color: chosen ? Theme.accent : (lit ? Theme.rowLit : "transparent")

        HoverHandler {
            id: rowHover
        }

        Column {
            x: 10
            anchors.verticalCenter: parent.verticalCenter
            width: marks.x - 8 - x

            Row {
                spacing: 6

                Text {
                    text: runtimeRow.modelData.label
                    textFormat: Text.PlainText
                    color: "white"
                    font.pixelSize: 13
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    visible: runtimeRow.modelData.lts === true
                    text: "LTS"
                    color: runtimeRow.chosen ? Theme.inkOnAccent : Theme.accent
                    font.pixelSize: 10
                }
            }
            ElidedText {
                objectName: "detailLine"
                width: parent.width
                text: root.detailLine(runtimeRow.modelData)
                font.pixelSize: 10
                color: runtimeRow.chosen ? Theme.inkOnAccent
                                         : (root.tooOld(runtimeRow.modelData) ? "#aa7777"
                                                                              : Theme.secondary)
            }
        }

        MouseArea {
            id: rowArea

            width: parent.width - 40
            height: parent.height
            onClicked: root.pickRow(runtimeRow.index)
            onDoubleClicked: root.acceptRow(runtimeRow.index)
        }

        InstalledMarks {
            id: marks

            iconName: "trash"
            visible: runtimeRow.modelData.installed === true
            chosen: runtimeRow.chosen
            onRemoveClicked: {
                const id = runtimeRow.modelData.id;
                root.backend.removeJavaRuntime(id);
                // Cleared even when the backend refuses the removal.
                if (root.selectedId === id)
                    root.selectedId = "";
            }
        }
    }
}
