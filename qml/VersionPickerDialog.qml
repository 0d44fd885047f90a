import QtQuick
import QtQuick.Controls.Basic
import Hollowmere
import "Placeholders.js" as Placeholders

// Picks the game version of a build from the backend's catalog. Installed
// versions can be removed here after a question.
PickerDialog {
    id: picker

    category: "release"
    categories: [
        { key: "release", title: Loc.t.version.filter.releases },
        { key: "snapshot", title: Loc.t.version.filter.snapshots },
        { key: "old_beta", title: Loc.t.version.filter.betas },
        { key: "old_alpha", title: Loc.t.version.filter.alphas },
        { key: "other", title: Loc.t.version.filter.other }
    ]
    // The backend's rows, turned into script objects once per catalog change
    // rather than on every read.
    catalog: Array.from(backend.versionCatalog)

    signal versionChosen(string versionId)

    function openFor(versionId) {
        openOn(versionId);
    }

    function refreshCatalog() {
        backend.refreshVersionCatalog();
    }

    function catalogHas(versionId) {
        return catalog.some(row => row.id === versionId);
    }

    function acceptSelection() {
        if (selectedId === "")
            return;
        versionChosen(selectedId);
        close();
    }

    function askRemove(versionId) {
        const info = backend.versionRemovalInfo(versionId);
        if (!info || info.installed !== true)
            return;
        removeConfirm.versionId = versionId;
        removeConfirm.sizeMb = info.sizeMb || 0;
        removeConfirm.dependents = info.dependents || [];
        removeConfirm.builds = info.builds || [];
        removeConfirm.open();
    }

    function performRemove(versionId) {
        backend.removeVersion(versionId);
        if (selectedId === versionId && !catalogHas(versionId))
            selectedId = "";
        revealSelected();
    }

    title: Loc.t.common.label.minecraftVersion
    cursorIsCurrentIndex: true
    emptyText: backend.catalogLoading ? Loc.t.version.progress.loadingList
                                      : (catalog.length === 0 ? Loc.t.version.error.listUnreachable
                                                              : Loc.t.common.status.nothingFound)
    installedOnlyText: Loc.t.version.filter.installedOnly
    statusText: selectedId !== "" ? selectedId : Loc.t.version.status.notSelected
    statusColor: selectedId !== "" ? Theme.accent : Theme.faint
    list.objectName: "versionList"
    emptyLine.objectName: "emptyText"
    statusLine.objectName: "selectionLine"
    acceptButton.objectName: "selectButton"

    rowDelegate: Rectangle {
        id: versionRow

        required property int index
        required property var modelData
        readonly property bool selected: modelData.id === picker.selectedId

        width: ListView.view.width
        height: 32
        radius: 4
        color: selected ? Theme.accent : (rowArea.containsMouse ? Theme.rowLit : "transparent")

        MouseArea {
            id: rowArea

            anchors.fill: parent
            anchors.rightMargin: 40
            hoverEnabled: true
            onClicked: picker.pickRow(versionRow.index)
            onDoubleClicked: picker.acceptRow(versionRow.index)
        }

        Text {
            x: 10
            anchors.verticalCenter: parent.verticalCenter
            width: (marks.visible ? marks.x - 6 : parent.width - 10) - x
            text: versionRow.modelData.label
            textFormat: Text.PlainText
            color: "white"
            font.pixelSize: 13
            elide: Text.ElideRight
        }

        InstalledMarks {
            id: marks

            objectName: "marks"
            iconName: "removeIcon"
            visible: versionRow.modelData.installed === true
            chosen: versionRow.selected
            onRemoveClicked: picker.askRemove(versionRow.modelData.id)
        }
    }

    ConfirmRemoval {
        id: removeConfirm

        property string versionId: ""
        property int sizeMb: 0
        property var dependents: []
        property var builds: []

        objectName: "removeConfirm"
        parent: picker.parent
        title: Loc.t.version.title.removeConfirm
        lines: [
            { text: sizeMb > 0 ? Placeholders.fill(Loc.t.version.hint.removeWithSize, versionId, sizeMb)
                               : Placeholders.fill(Loc.t.version.hint.remove, versionId),
              color: "white", size: 13 },
            { text: Placeholders.fill(Loc.t.version.warning.loaderProfilesDepend, dependents.join(", ")),
              shown: dependents.length > 0 },
            { text: Placeholders.fill(Loc.t.version.warning.buildsDepend, builds.join(", ")),
              shown: builds.length > 0 },
            { text: Loc.t.version.hint.sharedFilesStay, color: Theme.secondary }
        ]
        onClosed: versionId = ""
        onRemoveClicked: {
            const removed = versionId;
            close();
            picker.performRemove(removed);
        }
    }
}
