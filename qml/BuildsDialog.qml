import QtQuick
import QtQuick.Controls.Basic
import Hollowmere
import "Placeholders.js" as Placeholders

// The editor of the player's custom builds: the list on the left, the selected
// build on the right. Every edit goes to the backend at once; the backend's
// refusals reach the player as the main window's toasts.
DarkDialog {
    id: dialog

    required property var backend
    property int editIndex: -1
    // Set while selectBuild fills the editor: nothing it sets is a user's edit.
    property bool loading: false

    function selectBuild(index) {
        const record = backend.customBuildAt(index);
        loading = true;
        editIndex = index;
        bdName.text = record.name || "";
        bdServer.text = record.serverUrl || "";
        bdMinecraft.selectedId = record.minecraftVersion || "";
        loaderPanel.applyBuild(record.loader || "", record.loaderVersion || "");
        loading = false;
        refreshStatus();
    }

    function commit(fields) {
        if (loading || editIndex < 0)
            return;
        backend.updateCustomBuild(editIndex, fields);
        refreshStatus();
    }

    // A field reports the end of its editing on Return and again when it loses
    // the focus; the build is written only when the text says something new, and
    // the field then shows what the backend stored of it.
    function commitText(field, key) {
        if (editIndex < 0 || (backend.customBuildAt(editIndex)[key] || "") === field.text)
            return;
        commit({ [key]: field.text });
        field.text = backend.customBuildAt(editIndex)[key] || "";
    }

    function refreshStatus() {
        if (editIndex < 0) {
            bdStatus.text = "";
            bdStatus.ok = false;
            return;
        }
        const problems = backend.checkInstallation(editIndex);
        bdStatus.ok = problems.length === 0;
        bdStatus.text = bdStatus.ok ? Loc.t.build.status.ready
                                    : Loc.t.build.error.missingFiles.arg(problems.length)
                                      .arg(problems[0]);
    }

    function askRemove(index) {
        const info = backend.customBuildRemovalInfo(index);
        if (!info || !info.name)
            return;
        removeConfirm.buildIndex = index;
        removeConfirm.buildName = info.name;
        removeConfirm.hasArchive = info.hasArchive === true;
        removeConfirm.active = info.active === true;
        removeConfirm.lastOne = info.lastOne === true;
        removeConfirm.open();
    }

    function performRemove(index) {
        backend.removeCustomBuild(index);
        const left = backend.customBuildNames.length;
        if (left === 0)
            editIndex = -1;
        else
            selectBuild(Math.min(index, left - 1));
    }

    function addBuild() {
        selectBuild(backend.addNumberedBuild());
    }

    implicitWidth: 880
    implicitHeight: 600
    title: Loc.t.common.title.customBuilds
    enabled: !backend.seasonalInstalling

    onAboutToShow: {
        backend.refreshVersionCatalog();
        if (backend.customBuildNames.length === 0)
            editIndex = -1;
        else
            selectBuild(Math.max(0, backend.activeBuildIndex));
    }

    Connections {
        target: dialog.backend

        function onInstalledVersionsChanged() {
            dialog.refreshStatus();
        }
    }

    contentItem: Item {
        Item {
            id: listPane

            objectName: "listPane"
            width: 260
            height: parent.height
            enabled: !dialog.backend.switching

            ListView {
                id: buildList

                objectName: "buildList"
                anchors.fill: parent
                anchors.margins: 8
                anchors.bottomMargin: addBuildRow.height + 16
                spacing: 2
                clip: true
                model: dialog.backend.customBuildNames

                ScrollIndicator.vertical: ScrollIndicator {}

                delegate: Rectangle {
                    id: buildRow

                    required property int index
                    required property string modelData
                    readonly property bool lit: index === dialog.editIndex || rowHover.hovered

                    width: ListView.view.width
                    height: 40
                    radius: 5
                    color: lit ? Theme.accent : Theme.plate

                    HoverHandler {
                        id: rowHover
                    }

                    MouseArea {
                        anchors.fill: parent
                        onClicked: dialog.selectBuild(buildRow.index)
                    }

                    Text {
                        anchors.left: parent.left
                        anchors.leftMargin: 8
                        anchors.right: activeBadge.visible ? activeBadge.left : trash.left
                        anchors.rightMargin: 8
                        anchors.verticalCenter: parent.verticalCenter
                        text: buildRow.modelData
                        textFormat: Text.PlainText
                        color: "white"
                        font.pixelSize: 13
                        elide: Text.ElideRight
                    }

                    Text {
                        id: activeBadge

                        objectName: "activeBadge"
                        anchors.right: trash.left
                        anchors.rightMargin: 8
                        anchors.verticalCenter: parent.verticalCenter
                        visible: buildRow.index === dialog.backend.activeBuildIndex
                        text: Loc.t.build.label.active
                        color: buildRow.lit ? "white" : Theme.accent
                        font.pixelSize: 10
                    }

                    RowIcon {
                        id: trash

                        objectName: "trash"
                        anchors.right: parent.right
                        anchors.rightMargin: 8
                        source: "images/Trash.svg"
                        visible: rowHover.hovered
                        onClicked: dialog.askRemove(buildRow.index)
                    }
                }
            }

            Rectangle {
                id: addBuildRow

                objectName: "addBuildRow"
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.bottom: parent.bottom
                anchors.margins: 8
                height: 34
                radius: 5
                color: addArea.pressed ? Theme.rowLit : "transparent"

                Text {
                    anchors.centerIn: parent
                    text: Loc.t.build.button.new
                    color: Theme.accent
                    font.pixelSize: 12
                }

                MouseArea {
                    id: addArea

                    anchors.fill: parent
                    onClicked: dialog.addBuild()
                }
            }
        }

        Rectangle {
            id: divider

            x: listPane.width
            width: 1
            height: parent.height
            color: Theme.separator
        }

        Flickable {
            id: editor

            objectName: "editor"
            anchors.left: divider.right
            anchors.right: parent.right
            height: parent.height
            enabled: dialog.editIndex >= 0 && !dialog.backend.switching
            opacity: enabled ? 1.0 : 0.4
            clip: true
            contentHeight: editorColumn.height + 40
            boundsBehavior: Flickable.StopAtBounds

            ScrollIndicator.vertical: ScrollIndicator {}

            Column {
                id: editorColumn

                x: 20
                y: 20
                width: editor.width - 40
                spacing: 12

                LabelledField {
                    id: bdName

                    objectName: "bdName"
                    width: parent.width
                    label: Loc.t.build.label.name
                    placeholder: Loc.t.build.placeholder.name
                    onEditingFinished: dialog.commitText(bdName, "name")
                }

                LabelledField {
                    id: bdServer

                    objectName: "bdServer"
                    width: parent.width
                    label: Loc.t.build.label.serverAddress
                    placeholder: Loc.t.build.placeholder.serverAddress
                    onEditingFinished: dialog.commitText(bdServer, "serverUrl")
                }

                Caption {
                    text: Loc.t.common.label.minecraftVersion
                }

                ChooserField {
                    id: bdMinecraft

                    property string selectedId: ""

                    objectName: "bdMinecraft"
                    width: parent.width
                    height: 36
                    text: selectedId !== "" ? selectedId : Loc.t.build.button.pickVersion
                    chosen: selectedId !== ""
                    font.pixelSize: 13
                    valueText.objectName: "versionText"
                    // The build takes the new version before the loader rows look for
                    // their lists, so whatever they commit next belongs to it.
                    onSelectedIdChanged: {
                        dialog.commit({ minecraftVersion: selectedId });
                        loaderPanel.setGameVersion(selectedId);
                    }
                    onClicked: versionPicker.openFor(selectedId)
                }

                Caption {
                    text: Loc.t.build.label.modLoader
                }

                Column {
                    id: loaderPanel

                    readonly property var rows: [bdForge, bdFabric, bdNeoForge, bdQuilt]

                    function applyBuild(loader, loaderVersion) {
                        for (const row of rows)
                            row.applyBuild(loader, loaderVersion);
                    }

                    function selectedRow() {
                        return rows.find(row => row.checked) || null;
                    }

                    function keepOnly(kept) {
                        for (const row of rows) {
                            if (row !== kept)
                                row.applyBuild("", "");
                        }
                    }

                    function commitSelection() {
                        const row = selectedRow();
                        dialog.commit({ loader: row ? row.loaderKey : "",
                                        loaderVersion: row ? row.selectedVersion : "" });
                    }

                    function setGameVersion(version) {
                        for (const row of rows)
                            row.gameVersion = version;
                    }

                    objectName: "loaderPanel"
                    width: parent.width
                    spacing: 8
                    Component.onCompleted: {
                        for (const row of rows) {
                            row.userChecked.connect(() => keepOnly(row));
                            row.changed.connect(commitSelection);
                        }
                    }

                    LoaderRow {
                        id: bdForge

                        objectName: "bdForge"
                        backend: dialog.backend
                        width: loaderPanel.width
                        loaderKey: "forge"
                        title: Loc.t.loader.name.forge
                    }
                    LoaderRow {
                        id: bdFabric

                        objectName: "bdFabric"
                        backend: dialog.backend
                        width: loaderPanel.width
                        loaderKey: "fabric"
                        title: Loc.t.loader.name.fabric
                    }
                    LoaderRow {
                        id: bdNeoForge

                        objectName: "bdNeoForge"
                        backend: dialog.backend
                        width: loaderPanel.width
                        loaderKey: "neoforge"
                        title: Loc.t.loader.name.neoforge
                    }
                    LoaderRow {
                        id: bdQuilt

                        objectName: "bdQuilt"
                        backend: dialog.backend
                        width: loaderPanel.width
                        loaderKey: "quilt"
                        title: Loc.t.loader.name.quilt
                    }
                }

                Text {
                    id: bdStatus

                    property bool ok: false

                    objectName: "bdStatus"
                    width: parent.width
                    textFormat: Text.PlainText
                    wrapMode: Text.Wrap
                    font.pixelSize: 11
                    color: ok ? "#8fbf5a" : Theme.warning
                }
            }
        }
    }

    footerItems: Row {
        anchors.centerIn: parent
        spacing: 12

        DarkButton {
            objectName: "closeButton"
            width: 120
            text: Loc.t.common.button.close
            enabled: !dialog.backend.switching
            onClicked: dialog.close()
        }
        DarkButton {
            objectName: "installButton"
            width: 140
            text: Loc.t.common.button.install
            enabled: dialog.editIndex >= 0 && !dialog.backend.busy
            onClicked: dialog.backend.installCustomBuild(dialog.editIndex)
        }
        DarkButton {
            objectName: "makeActiveButton"
            width: 170
            text: Loc.t.build.button.makeActive
            face: Theme.accent
            pressedFace: Theme.accentPressed
            enabled: dialog.editIndex >= 0 && dialog.editIndex !== dialog.backend.activeBuildIndex
                     && !dialog.backend.busy
            onClicked: dialog.backend.activeBuildIndex = dialog.editIndex
        }
    }

    VersionPickerDialog {
        id: versionPicker

        objectName: "versionPicker"
        backend: dialog.backend
        parent: dialog.parent
        onVersionChosen: versionId => bdMinecraft.selectedId = versionId
    }

    ConfirmRemoval {
        id: removeConfirm

        property int buildIndex: -1
        property string buildName: ""
        property bool hasArchive: false
        property bool active: false
        property bool lastOne: false

        objectName: "removeConfirm"
        parent: dialog.parent
        title: Loc.t.build.title.removeConfirm
        lines: [
            { text: Placeholders.fill(Loc.t.build.hint.removeIrreversible, buildName),
              color: "white", size: 13 },
            { text: Loc.t.build.warning.archiveGoesToo, shown: hasArchive },
            { text: Loc.t.build.warning.removingActive, shown: active && !lastOne },
            { text: Loc.t.build.hint.removingLast, color: Theme.secondary, shown: lastOne }
        ]
        onClosed: buildIndex = -1
        onRemoveClicked: {
            const index = buildIndex;
            const name = buildName;
            close();
            // The list may have changed while the question was open: only the
            // build it was asked for is removed.
            if (index >= 0 && dialog.backend.customBuildNames[index] === name)
                dialog.performRemove(index);
        }
    }
}
