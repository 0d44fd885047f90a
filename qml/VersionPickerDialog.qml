import QtQuick
import QtQuick.Controls.Basic
import Hollowmere
import "Placeholders.js" as Placeholders

// Picks the game version of a build from the backend's catalog, narrowed by
// category, search text and an installed-only box. The selection is an id, so it
// survives every filter and every new catalog. Installed versions can be removed
// here after a question.
DarkDialog {
    id: picker

    required property var backend
    property string selectedId: ""
    property string category: "release"
    property string filterText: ""
    property bool installedOnly: false
    readonly property var categories: [
        { key: "release", title: Loc.t.version.filter.releases },
        { key: "snapshot", title: Loc.t.version.filter.snapshots },
        { key: "old_beta", title: Loc.t.version.filter.betas },
        { key: "old_alpha", title: Loc.t.version.filter.alphas },
        { key: "other", title: Loc.t.version.filter.other }
    ]
    // The backend's rows, turned into script objects once per catalog change
    // rather than on every read.
    readonly property var catalog: Array.from(backend.versionCatalog)
    // One pass over the catalog per change of any input.
    readonly property var visibleEntries: {
        const query = filterText.trim().toLowerCase();
        const shown = category;
        const installedOnly = picker.installedOnly;
        return catalog.filter(row => row.category === shown
                                             && (!installedOnly || row.installed === true)
                                             && (query === "" || row.search.includes(query)));
    }

    signal versionChosen(string versionId)

    function openFor(versionId) {
        selectedId = versionId;
        filterText = "";
        searchField.text = "";
        category = categoryOf(versionId);
        backend.refreshVersionCatalog();
        open();
        revealSelected();
    }

    function categoryOf(versionId) {
        const row = catalog.find(row => row.id === versionId);
        return row ? row.category : "release";
    }

    function catalogHas(versionId) {
        return catalog.some(row => row.id === versionId);
    }

    function indexOfSelected() {
        return visibleEntries.findIndex(row => row.id === selectedId);
    }

    function revealSelected() {
        const index = indexOfSelected();
        versionList.currentIndex = index;
        if (index >= 0)
            versionList.positionViewAtIndex(index, ListView.Center);
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

    width: 720
    height: 480
    title: Loc.t.common.label.minecraftVersion
    onOpened: searchField.forceActiveFocus()

    contentItem: Item {
        Column {
            id: rail

            objectName: "rail"
            x: 8
            y: 8
            width: 150 - 16
            spacing: 2

            Repeater {
                model: picker.categories

                delegate: Rectangle {
                    id: categoryRow

                    required property var modelData

                    objectName: "category_" + modelData.key
                    width: rail.width
                    height: 34
                    radius: 5
                    color: modelData.key === picker.category ? Theme.accent
                                                             : (categoryArea.containsMouse ? Theme.rowLit
                                                                                           : "transparent")

                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        x: 10
                        text: categoryRow.modelData.title
                        color: "white"
                        font.pixelSize: 13
                    }

                    MouseArea {
                        id: categoryArea

                        anchors.fill: parent
                        hoverEnabled: true
                        onClicked: {
                            picker.category = categoryRow.modelData.key;
                            picker.revealSelected();
                        }
                    }
                }
            }
        }

        Rectangle {
            id: railDivider

            x: 150
            width: 1
            height: parent.height
            color: Theme.separator
        }

        Item {
            id: pane

            anchors.left: railDivider.right
            anchors.right: parent.right
            height: parent.height

            TextField {
                id: searchField

                objectName: "searchField"
                x: 8
                y: 8
                width: pane.width - 16
                height: 32
                color: "white"
                placeholderText: Loc.t.common.placeholder.searchVersion
                placeholderTextColor: Theme.faint
                onTextChanged: {
                    picker.filterText = text;
                    versionList.currentIndex = picker.indexOfSelected();
                }
                Keys.onUpPressed: versionList.step(-1)
                Keys.onDownPressed: versionList.step(1)
                Keys.onReturnPressed: picker.acceptSelection()
                Keys.onEnterPressed: picker.acceptSelection()
                Keys.onEscapePressed: picker.close()

                background: Rectangle {
                    color: "#232323"
                    radius: 5
                    border.width: 1
                    border.color: searchField.activeFocus ? Theme.accent : Theme.fieldBorder
                }
            }

            ListView {
                id: versionList

                function step(delta) {
                    const next = currentIndex + delta;
                    if (next < 0 || next >= picker.visibleEntries.length)
                        return;
                    currentIndex = next;
                    positionViewAtIndex(next, ListView.Contain);
                    picker.selectedId = picker.visibleEntries[next].id;
                }

                objectName: "versionList"
                x: 8
                anchors.top: searchField.bottom
                anchors.topMargin: 6
                anchors.bottom: installedOnlyBox.top
                width: pane.width - 16
                clip: true
                spacing: 1
                model: picker.visibleEntries
                // The highlight follows the selected id; the cursor only moves when told.
                highlightFollowsCurrentItem: false
                keyNavigationEnabled: false

                ScrollIndicator.vertical: ScrollIndicator {}

                delegate: Rectangle {
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
                        onClicked: {
                            picker.selectedId = versionRow.modelData.id;
                            versionList.currentIndex = versionRow.index;
                        }
                        onDoubleClicked: {
                            picker.selectedId = versionRow.modelData.id;
                            picker.acceptSelection();
                        }
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

                    Row {
                        id: marks

                        objectName: "marks"
                        anchors.right: parent.right
                        anchors.rightMargin: 10
                        anchors.verticalCenter: parent.verticalCenter
                        spacing: 8
                        visible: versionRow.modelData.installed === true

                        Text {
                            anchors.verticalCenter: parent.verticalCenter
                            text: "✓"
                            color: versionRow.selected ? Theme.inkOnAccent : Theme.accent
                            font.pixelSize: 13
                            font.bold: true
                        }

                        Image {
                            objectName: "removeIcon"
                            anchors.verticalCenter: parent.verticalCenter
                            width: 14
                            height: 14
                            sourceSize: Qt.size(14, 14)
                            fillMode: Image.PreserveAspectFit
                            source: "images/Trash.svg"
                            opacity: removeArea.containsMouse ? 1.0 : 0.55

                            MouseArea {
                                id: removeArea

                                anchors.fill: parent
                                anchors.margins: -5
                                hoverEnabled: true
                                onClicked: picker.askRemove(versionRow.modelData.id)
                            }
                        }
                    }
                }
            }

            Text {
                objectName: "emptyText"
                anchors.centerIn: versionList
                width: versionList.width - 20
                visible: picker.visibleEntries.length === 0
                text: picker.backend.catalogLoading ? Loc.t.version.progress.loadingList
                      : (picker.catalog.length === 0 ? Loc.t.version.error.listUnreachable
                                                                     : Loc.t.common.status.nothingFound)
                color: Theme.secondary
                font.pixelSize: 12
                font.italic: true
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.Wrap
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
                checked: picker.installedOnly
                text: Loc.t.version.filter.installedOnly
                onToggled: {
                    picker.installedOnly = checked;
                    picker.revealSelected();
                }

                indicator: Rectangle {
                    x: installedOnlyBox.leftPadding
                    anchors.verticalCenter: parent.verticalCenter
                    implicitWidth: 16
                    implicitHeight: 16
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
                    text: installedOnlyBox.text
                    color: Theme.caption
                    font.pixelSize: 11
                    verticalAlignment: Text.AlignVCenter
                }
            }
        }
    }

    footerItems: [
        Text {
            objectName: "selectionLine"
            x: 20
            anchors.verticalCenter: parent.verticalCenter
            width: parent.width - 300
            text: picker.selectedId !== "" ? picker.selectedId : Loc.t.version.status.notSelected
            textFormat: Text.PlainText
            color: picker.selectedId !== "" ? Theme.accent : Theme.faint
            font.pixelSize: 13
            elide: Text.ElideRight
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
                onClicked: picker.close()
            }
            DarkButton {
                objectName: "selectButton"
                width: 110
                text: Loc.t.common.button.select
                face: Theme.accent
                pressedFace: Theme.accentPressed
                enabled: picker.selectedId !== ""
                onClicked: picker.acceptSelection()
            }
        }
    ]

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
