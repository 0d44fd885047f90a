import QtQuick
import QtQuick.Controls.Basic
import Hollowmere

// Picks the Java runtime that the launcher manages for the game: a runtime
// already downloaded or one of the downloadable catalog, which is then asked
// for. The choice leaves through runtimeChosen; nothing is stored here.
DarkDialog {
    id: root

    required property var backend
    // The selection is an id, so a row hidden by the category or a filter
    // stays chosen.
    property string selectedId: ""
    property string category: "java"
    property string filterText: ""
    property bool installedOnly: false
    // The active build's minimum Java major; 0 when unknown.
    property int requiredMajor: 0

    readonly property var categories: [
        { key: "java", title: Loc.t.common.java.kind.java, hint: Loc.t.java.filter.mojang },
        { key: "jdk", title: Loc.t.common.java.kind.jdk, hint: Loc.t.java.filter.temurinJdk },
        { key: "jre", title: Loc.t.common.java.kind.jre, hint: Loc.t.java.filter.temurinJre }
    ]
    readonly property var catalog: backend.javaCatalog || []
    readonly property var visibleEntries: {
        const query = filterText.trim().toLowerCase();
        return catalog.filter(row => row.kind === category && (!installedOnly || row.installed)
                              && (query === "" || String(row.search).includes(query)));
    }
    readonly property var selectedEntry: catalog.find(row => row.id === selectedId) || null

    signal runtimeChosen(string runtimeId)

    function openFor(runtimeId, required) {
        selectedId = runtimeId || "";
        requiredMajor = required || 0;
        filterText = "";
        searchField.text = "";
        category = categoryOf(selectedId);
        backend.refreshJavaCatalog();
        open();
        revealSelected();
    }

    function categoryOf(runtimeId) {
        const row = catalog.find(entry => entry.id === runtimeId);
        return row ? row.kind : "java";
    }

    function indexOfSelected() {
        return visibleEntries.findIndex(row => row.id === selectedId);
    }

    function revealSelected() {
        const index = indexOfSelected();
        runtimeList.cursor = index;
        if (index >= 0)
            runtimeList.positionViewAtIndex(index, ListView.Center);
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
        if (row.sizeMb > 0)
            parts.push(Loc.t.common.status.megabytes.arg(row.sizeMb));
        if (tooOld(row))
            parts.push(Loc.t.java.warning.tooOldForVersion);
        return parts.join(" · ");
    }

    title: Loc.t.java.label.version
    width: 720
    height: 480
    onOpened: {
        searchField.forceActiveFocus();
        revealSelected();
    }

    contentItem: Item {
        Column {
            id: categoryColumn

            x: 8
            y: 8
            width: 170 - 16
            spacing: 2

            Repeater {
                model: root.categories

                delegate: Rectangle {
                    id: categoryRow

                    required property var modelData
                    readonly property bool current: modelData.key === root.category

                    objectName: "category_" + modelData.key
                    width: categoryColumn.width
                    height: 44
                    radius: 5
                    color: current ? Theme.accent : (categoryArea.containsMouse ? Theme.rowLit
                                                                              : "transparent")

                    Column {
                        x: 10
                        anchors.verticalCenter: parent.verticalCenter

                        Text {
                            text: categoryRow.modelData.title
                            color: "white"
                            font.pixelSize: 13
                        }
                        Text {
                            text: categoryRow.modelData.hint
                            color: categoryRow.current ? Theme.inkOnAccent : "#777777"
                            font.pixelSize: 10
                        }
                    }

                    MouseArea {
                        id: categoryArea

                        anchors.fill: parent
                        hoverEnabled: true
                        onClicked: {
                            root.category = categoryRow.modelData.key;
                            root.revealSelected();
                        }
                    }
                }
            }

            Item {
                width: 1
                height: 8
            }

            Text {
                objectName: "requiredHint"
                width: parent.width
                visible: root.requiredMajor > 0
                text: Loc.t.java.hint.required.arg(root.requiredMajor)
                color: Theme.secondary
                font.pixelSize: 10
                wrapMode: Text.Wrap
            }
        }

        Rectangle {
            id: divider

            x: 170
            width: 1
            height: parent.height
            color: Theme.separator
        }

        Item {
            id: listColumn

            anchors.left: divider.right
            anchors.right: parent.right
            height: parent.height

            TextField {
                id: searchField

                objectName: "searchField"
                x: 8
                y: 8
                width: parent.width - 16
                height: 32
                color: "white"
                placeholderText: Loc.t.common.placeholder.searchVersion
                placeholderTextColor: Theme.faint
                onTextChanged: {
                    root.filterText = text;
                    runtimeList.cursor = root.indexOfSelected();
                }
                Keys.onEscapePressed: root.close()
                Keys.onReturnPressed: root.acceptSelection()
                Keys.onEnterPressed: root.acceptSelection()
                Keys.onDownPressed: runtimeList.step(1)
                Keys.onUpPressed: runtimeList.step(-1)

                background: Rectangle {
                    color: "#232323"
                    radius: 5
                    border.width: 1
                    border.color: searchField.activeFocus ? Theme.accent : Theme.fieldBorder
                }
            }

            ListView {
                id: runtimeList

                // The keyboard cursor, used only for stepping; the highlight
                // follows the selection.
                property int cursor: -1

                function step(delta) {
                    const next = cursor + delta;
                    if (next < 0 || next >= root.visibleEntries.length)
                        return;
                    cursor = next;
                    positionViewAtIndex(next, ListView.Contain);
                    root.selectedId = root.visibleEntries[next].id;
                }

                objectName: "runtimeList"
                x: 8
                anchors.top: searchField.bottom
                anchors.topMargin: 6
                anchors.bottom: installedOnlyBox.top
                width: parent.width - 16
                clip: true
                spacing: 1
                model: root.visibleEntries

                ScrollIndicator.vertical: ScrollIndicator {}

                delegate: Rectangle {
                    id: runtimeRow

                    required property var modelData
                    required property int index
                    readonly property bool chosen: modelData.id === root.selectedId
                    // The row's own hover handler rather than the click area's hover,
                    // which would keep the pointer from the detail line beneath it.
                    readonly property bool lit: rowHover.hovered
                                                && rowHover.point.position.x < rowArea.width

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
                                                     : (root.tooOld(runtimeRow.modelData)
                                                        ? "#aa7777" : Theme.secondary)
                        }
                    }

                    MouseArea {
                        id: rowArea

                        width: parent.width - 40
                        height: parent.height
                        onClicked: {
                            root.selectedId = runtimeRow.modelData.id;
                            runtimeList.cursor = runtimeRow.index;
                        }
                        onDoubleClicked: {
                            root.selectedId = runtimeRow.modelData.id;
                            root.acceptSelection();
                        }
                    }

                    Row {
                        id: marks

                        anchors.right: parent.right
                        anchors.rightMargin: 10
                        anchors.verticalCenter: parent.verticalCenter
                        spacing: 8
                        visible: runtimeRow.modelData.installed === true

                        Text {
                            anchors.verticalCenter: parent.verticalCenter
                            text: "✓"
                            font.pixelSize: 13
                            font.bold: true
                            color: runtimeRow.chosen ? Theme.inkOnAccent : Theme.accent
                        }

                        Image {
                            objectName: "trash"
                            anchors.verticalCenter: parent.verticalCenter
                            width: 14
                            height: 14
                            sourceSize: Qt.size(14, 14)
                            fillMode: Image.PreserveAspectFit
                            source: "images/Trash.svg"
                            opacity: trashArea.containsMouse ? 1.0 : 0.55

                            MouseArea {
                                id: trashArea

                                anchors.fill: parent
                                anchors.margins: -5
                                hoverEnabled: true
                                onClicked: {
                                    const id = runtimeRow.modelData.id;
                                    root.backend.removeJavaRuntime(id);
                                    // Cleared even when the backend refuses the removal.
                                    if (root.selectedId === id)
                                        root.selectedId = "";
                                }
                            }
                        }
                    }
                }
            }

            Text {
                objectName: "emptyState"
                anchors.centerIn: runtimeList
                width: runtimeList.width - 20
                visible: root.visibleEntries.length === 0
                text: root.backend.javaCatalogLoading ? Loc.t.java.progress.loadingCatalog
                                                      : (root.catalog.length === 0
                                                         ? Loc.t.java.error.catalogUnavailable
                                                         : Loc.t.common.status.nothingFound)
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.Wrap
                color: Theme.secondary
                font.pixelSize: 12
                font.italic: true
            }

            CheckBox {
                id: installedOnlyBox

                objectName: "installedOnlyBox"
                x: 8
                anchors.bottom: parent.bottom
                anchors.bottomMargin: 4
                height: 28
                padding: 0
                spacing: 8
                // The search field keeps the keys.
                focusPolicy: Qt.NoFocus
                checked: root.installedOnly
                onToggled: {
                    root.installedOnly = checked;
                    root.revealSelected();
                }

                indicator: Rectangle {
                    x: installedOnlyBox.leftPadding
                    anchors.verticalCenter: parent.verticalCenter
                    width: 16
                    height: 16
                    radius: 4
                    color: installedOnlyBox.checked ? Theme.accent : Theme.field
                    border.width: 1
                    border.color: installedOnlyBox.checked ? Theme.accent : Theme.fieldBorder

                    Text {
                        anchors.centerIn: parent
                        visible: installedOnlyBox.checked
                        text: "✓"
                        color: Theme.inkOnAccent
                        font.pixelSize: 12
                        font.bold: true
                    }
                }

                contentItem: Text {
                    leftPadding: installedOnlyBox.indicator.width + installedOnlyBox.spacing
                    text: Loc.t.java.filter.downloadedOnly
                    color: Theme.caption
                    font.pixelSize: 11
                    verticalAlignment: Text.AlignVCenter
                }
            }
        }
    }

    footerItems: [
        Text {
            objectName: "footerStatus"
            x: 20
            anchors.verticalCenter: parent.verticalCenter
            width: parent.width - 320
            elide: Text.ElideRight
            font.pixelSize: 13
            textFormat: Text.PlainText
            color: root.selectedEntry === null ? Theme.faint : Theme.accent
            text: root.selectedEntry === null
                  ? Loc.t.common.status.noBuildSelected
                  : (root.selectedEntry.installed ? root.selectedEntry.label
                                                  : Loc.t.java.status.willDownload.arg(
                                                        root.selectedEntry.label))
        },
        Row {
            anchors.right: parent.right
            anchors.rightMargin: 20
            anchors.verticalCenter: parent.verticalCenter
            spacing: 12

            DarkButton {
                objectName: "cancelButton"
                width: 110
                text: Loc.t.common.button.cancel
                onClicked: root.close()
            }
            DarkButton {
                objectName: "acceptButton"
                width: 110
                face: Theme.accent
                pressedFace: Theme.accentPressed
                enabled: root.selectedEntry !== null
                text: root.selectedEntry !== null && !root.selectedEntry.installed
                      ? Loc.t.common.button.download : Loc.t.common.button.select
                onClicked: root.acceptSelection()
            }
        }
    ]
}
