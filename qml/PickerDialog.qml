import QtQuick
import QtQuick.Controls.Basic
import Hollowmere

// The frame of a picker of one catalog row: a rail of categories; a search field
// that keeps the keys (Up and Down step through the rows, Return and Enter
// accept, Escape closes); the rows of the category that pass the installed-only
// box and the trimmed, lower-case search text, in catalog order; and a footer
// with the choice, Cancel and the accept button. The selection is an id, so a
// row hidden by the category or a filter stays chosen. A picker gives the
// catalog, its categories, the look of a row and what accepting does.
DarkDialog {
    id: picker

    required property var backend
    property string selectedId: ""
    property string category
    property string filterText: ""
    property bool installedOnly: false
    // Entries with key, title and, optionally, hint, in rail order; the first
    // is shown when the selected id is in no row.
    property var categories: []
    property var catalog: []
    // The key that names a row's category.
    property string categoryKey: "category"
    readonly property var visibleEntries: {
        const query = filterText.trim().toLowerCase();
        const shown = category;
        const key = categoryKey;
        const installedOnly = picker.installedOnly;
        return catalog.filter(row => row[key] === shown && (!installedOnly || row.installed === true)
                              && (query === "" || String(row.search).includes(query)));
    }

    property int railWidth: 150
    property int railRowHeight: 34
    // Placed below the category rows.
    property alias railItems: rail.data
    property Component rowDelegate
    // Whether the keyboard cursor (only stepping reads it; the highlight follows
    // the selection) is the list's currentIndex: the list then scrolls to the
    // cursor whenever it moves and puts it back on the first row with every new
    // set of rows. Otherwise it is a property of the list's own, which does
    // neither.
    property bool cursorIsCurrentIndex: false
    property string emptyText
    property string installedOnlyText
    property string statusText
    property color statusColor
    // The footer's width that the status line leaves to the buttons.
    property int statusRoom: 300
    property string acceptText: Loc.t.common.button.select
    property bool canAccept: selectedId !== ""

    readonly property alias list: entryList
    readonly property alias emptyLine: emptyLine
    readonly property alias statusLine: statusLine
    readonly property alias acceptButton: acceptButton

    // Opens on the given id with the search emptied and the id's category
    // shown, and asks for the catalog; the installed-only box keeps its state.
    function openOn(id) {
        selectedId = id;
        filterText = "";
        searchField.text = "";
        category = categoryOf(id);
        refreshCatalog();
        open();
        revealSelected();
    }

    // Asks the backend for its catalog without forcing it.
    function refreshCatalog() {}

    // Hands the selection out and closes, when there is one to hand out.
    function acceptSelection() {}

    function categoryOf(id) {
        const row = catalog.find(row => row.id === id);
        return row ? row[categoryKey] : categories[0].key;
    }

    function indexOfSelected() {
        return visibleEntries.findIndex(row => row.id === selectedId);
    }

    function revealSelected() {
        const index = indexOfSelected();
        entryList.placeCursor(index);
        if (index >= 0)
            entryList.positionViewAtIndex(index, ListView.Center);
    }

    // A click on a row's own area.
    function pickRow(index) {
        selectedId = visibleEntries[index].id;
        entryList.placeCursor(index);
    }

    function acceptRow(index) {
        selectedId = visibleEntries[index].id;
        acceptSelection();
    }

    implicitWidth: 720
    implicitHeight: 480
    onOpened: searchField.forceActiveFocus()

    contentItem: Item {
        Column {
            id: rail

            objectName: "rail"
            x: 8
            y: 8
            width: picker.railWidth - 16
            spacing: 2

            Repeater {
                model: picker.categories

                delegate: Rectangle {
                    id: categoryRow

                    required property var modelData
                    readonly property bool current: modelData.key === picker.category

                    objectName: "category_" + modelData.key
                    width: rail.width
                    height: picker.railRowHeight
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
                            visible: categoryRow.modelData.hint !== undefined
                            text: categoryRow.modelData.hint ?? ""
                            color: categoryRow.current ? Theme.inkOnAccent : "#777777"
                            font.pixelSize: 10
                        }
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

            x: picker.railWidth
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
                    entryList.placeCursor(picker.indexOfSelected());
                }
                Keys.onUpPressed: entryList.step(-1)
                Keys.onDownPressed: entryList.step(1)
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
                id: entryList

                property int cursor: -1
                readonly property int cursorIndex: picker.cursorIsCurrentIndex ? currentIndex
                                                                               : cursor

                function placeCursor(index) {
                    if (picker.cursorIsCurrentIndex)
                        currentIndex = index;
                    else
                        cursor = index;
                }

                function step(delta) {
                    const next = cursorIndex + delta;
                    if (next < 0 || next >= picker.visibleEntries.length)
                        return;
                    placeCursor(next);
                    positionViewAtIndex(next, ListView.Contain);
                    picker.selectedId = picker.visibleEntries[next].id;
                }

                x: 8
                anchors.top: searchField.bottom
                anchors.topMargin: 6
                anchors.bottom: installedOnlyBox.top
                width: pane.width - 16
                clip: true
                spacing: 1
                model: picker.visibleEntries
                highlightFollowsCurrentItem: false
                keyNavigationEnabled: false
                delegate: picker.rowDelegate

                ScrollIndicator.vertical: ScrollIndicator {}
            }

            Text {
                id: emptyLine

                anchors.centerIn: entryList
                width: entryList.width - 20
                visible: picker.visibleEntries.length === 0
                text: picker.emptyText
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
                text: picker.installedOnlyText
                onToggled: {
                    picker.installedOnly = checked;
                    picker.revealSelected();
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
            id: statusLine

            x: 20
            anchors.verticalCenter: parent.verticalCenter
            width: parent.width - picker.statusRoom
            text: picker.statusText
            textFormat: Text.PlainText
            color: picker.statusColor
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
                id: acceptButton

                width: 110
                text: picker.acceptText
                face: Theme.accent
                pressedFace: Theme.accentPressed
                enabled: picker.canAccept
                onClicked: picker.acceptSelection()
            }
        }
    ]
}
