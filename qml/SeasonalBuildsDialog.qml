import QtQuick
import QtQuick.Controls.Basic
import Hollowmere

// The seasonal catalog as a table: which packs exist, which of them a build
// carries and whether a newer revision is out. Install starts the backend's
// seasonal pipeline; its progress and outcome show in the main window.
DarkDialog {
    id: dialog

    required property var backend
    property string selectedId: ""
    // The Part-sized columns, Name first and Status last; shownWidths are the widths drawn.
    readonly property var columns: [
        { key: "name", title: Loc.t.common.header.name, width: 250, align: Text.AlignLeft },
        { key: "minecraftVersion", title: Loc.t.common.header.version, width: 90, align: Text.AlignLeft },
        { key: "loaderLabel", title: Loc.t.common.header.loader, width: 150, align: Text.AlignLeft },
        { key: "modCount", title: Loc.t.seasonal.header.mods, width: 70, align: Text.AlignRight },
        { key: "seasonStart", title: Loc.t.seasonal.header.start, width: 110, align: Text.AlignLeft },
        { key: "seasonEnd", title: Loc.t.seasonal.header.end, width: 110, align: Text.AlignLeft },
        { key: "status", title: Loc.t.common.header.status, width: 140, align: Text.AlignLeft }
    ]
    readonly property var entries: backend.seasonalCatalog
    // The Status column is as wide as its longest text, measured in the row
    // font: the three states in the current language and whatever the rows
    // hold (rows made before a language switch keep their old texts).
    readonly property int statusWidth: {
        const texts = [Loc.t.seasonal.status.updateAvailable, Loc.t.seasonal.status.installed,
                       Loc.t.seasonal.status.notInstalled].concat(entries.map(entry => String(entry.status)));
        const widest = Math.max(...texts.map(text => cellMetrics.advanceWidth(text)));
        return Math.max(columns[columns.length - 1].width, Math.ceil(widest) + 11);
    }
    // The widths the table draws. Where the table has less room than its
    // columns, the Name column gives way first, down to 120 px, and then the
    // columns between Name and Status in proportion to their widths; Status
    // never does.
    readonly property var shownWidths: {
        const widths = columns.map(column => column.key === "status" ? statusWidth : column.width);
        let excess = widths.reduce((sum, width) => sum + width, 0) - tableRoom;
        if (excess <= 0)
            return widths;
        const nameGives = Math.min(excess, Math.max(0, widths[0] - 120));
        widths[0] -= nameGives;
        excess -= nameGives;
        if (excess > 0) {
            const giving = widths.slice(1, -1).reduce((sum, width) => sum + width, 0);
            const scale = Math.max(0, giving - excess) / giving;
            for (let i = 1; i < widths.length - 1; ++i)
                widths[i] = Math.floor(widths[i] * scale);
        }
        return widths;
    }
    // The room of the cells: the rows' width less 6 px on either side.
    readonly property real tableRoom: entryList.width - 12
    // Follows the id, not a position: the same entry stays selected across reloads.
    readonly property var selectedEntry: entries.find(entry => entry.id === selectedId) || null
    readonly property string detailLine: {
        const entry = selectedEntry;
        if (entry === null)
            return Loc.t.seasonal.hint.pickBuild;
        let line = Loc.t.seasonal.status.revision.arg(entry.revision);
        const size = formatMb(entry.sizeBytes);
        if (size !== "")
            line += Loc.t.seasonal.status.sizeSuffix.arg(size);
        if (entry.serverUrl)
            line += " · " + entry.serverUrl;
        if (entry.updateAvailable === true)
            line += Loc.t.seasonal.status.installedRevisionSuffix.arg(entry.installedRevision);
        return line;
    }

    function openCatalog() {
        open();
    }

    function formatMb(bytes) {
        return bytes > 0 ? (bytes / 1048576).toFixed(1) : "";
    }

    function cellText(entry, key) {
        if (key === "loaderLabel")
            return entry.loaderVersion ? entry.loaderTitle + " " + entry.loaderVersion
                                       : entry.loaderTitle;
        return String(entry[key]);
    }

    function installSelected() {
        if (selectedEntry === null || backend.busy)
            return;
        backend.installSeasonalBuild(selectedEntry.id);
    }

    implicitWidth: 960
    implicitHeight: 560
    footerHeight: 76
    title: Loc.t.common.title.seasonalBuilds
    onAboutToShow: backend.refreshSeasonalCatalog(false)

    contentItem: Item {
        Row {
            id: headerRow

            objectName: "headerRow"
            x: 18
            height: 30

            Repeater {
                model: dialog.columns

                delegate: Cell {
                    required property int index
                    required property var modelData

                    column: modelData
                    width: dialog.shownWidths[index]
                    text: modelData.title
                    color: Theme.caption
                    font.pixelSize: 12
                }
            }
        }

        Rectangle {
            id: headerLine

            x: 12
            y: headerRow.height
            width: parent.width - 24
            height: 1
            color: Theme.separator
        }

        ListView {
            id: entryList

            objectName: "entryList"
            x: 12
            y: headerLine.y + 5
            width: parent.width - 24
            height: parent.height - y
            clip: true
            spacing: 1
            model: dialog.entries

            ScrollIndicator.vertical: ScrollIndicator {}

            delegate: Rectangle {
                id: entryRow

                required property var modelData
                readonly property bool selected: modelData.id === dialog.selectedId

                width: ListView.view.width
                height: 36
                radius: 4
                color: selected ? Theme.accent : (rowHover.hovered ? Theme.rowLit : "transparent")

                // The row's own hover handler rather than the click area's hover,
                // which would keep the pointer from the cells beneath it.
                HoverHandler {
                    id: rowHover
                }

                Row {
                    x: 6
                    height: parent.height

                    Repeater {
                        model: dialog.columns

                        delegate: Cell {
                            required property int index
                            required property var modelData

                            column: modelData
                            width: dialog.shownWidths[index]
                            text: dialog.cellText(entryRow.modelData, modelData.key)
                            color: entryRow.selected ? Theme.inkOnAccent
                                                     : (modelData.key === "status"
                                                        && entryRow.modelData.updateAvailable === true
                                                        ? Theme.accent : "#ffffff")
                            font.pixelSize: 13
                        }
                    }
                }

                MouseArea {
                    anchors.fill: parent
                    onClicked: dialog.selectedId = entryRow.modelData.id
                    onDoubleClicked: {
                        dialog.selectedId = entryRow.modelData.id;
                        dialog.installSelected();
                    }
                }
            }
        }

        Text {
            objectName: "messageText"
            anchors.centerIn: parent
            width: parent.width - 80
            visible: dialog.entries.length === 0
            text: dialog.backend.seasonalCatalogLoading ? Loc.t.seasonal.progress.loadingCatalog
                  : (dialog.backend.seasonalCatalogError === "" ? Loc.t.seasonal.status.catalogEmptyYet
                                                                 : dialog.backend.seasonalCatalogError)
            textFormat: Text.PlainText
            color: dialog.backend.seasonalCatalogError === "" ? Theme.secondary : Theme.warning
            font.pixelSize: 13
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
        }
    }

    footerItems: [
        Column {
            x: 18
            width: footerButtons.x - 12 - x
            anchors.verticalCenter: parent.verticalCenter
            spacing: 3

            ElidedText {
                objectName: "descriptionLine"
                width: parent.width
                text: dialog.selectedEntry ? dialog.selectedEntry.description : ""
                color: "#ffffff"
                font.pixelSize: 12
            }
            ElidedText {
                objectName: "detailLine"
                width: parent.width
                text: dialog.detailLine
                color: Theme.secondary
                font.pixelSize: 11
            }
        },
        Row {
            id: footerButtons

            anchors.right: parent.right
            anchors.rightMargin: 18
            anchors.verticalCenter: parent.verticalCenter
            spacing: 12

            DarkButton {
                objectName: "closeButton"
                width: 120
                text: Loc.t.common.button.close
                enabled: !dialog.backend.switching
                onClicked: dialog.close()
            }
            DarkButton {
                objectName: "refreshButton"
                width: 150
                enabled: !dialog.backend.seasonalCatalogLoading
                fadeWhenDisabled: false
                textColor: enabled ? "#ffffff" : Theme.secondary
                text: dialog.backend.seasonalCatalogLoading ? Loc.t.common.status.updating
                                                            : Loc.t.common.button.refreshList
                onClicked: dialog.backend.refreshSeasonalCatalog(true)
            }
            DarkButton {
                objectName: "installButton"
                width: 150
                enabled: dialog.selectedEntry !== null && !dialog.backend.busy
                fadeWhenDisabled: false
                face: Theme.accent
                pressedFace: Theme.accentPressed
                disabledFace: "#2a2a2a"
                textColor: enabled ? "#ffffff" : Theme.secondary
                font.bold: true
                text: dialog.selectedEntry && dialog.selectedEntry.updateAvailable === true
                      ? Loc.t.common.button.update : Loc.t.common.button.install
                onClicked: dialog.installSelected()
            }
        }
    ]

    FontMetrics {
        id: cellMetrics

        font.pixelSize: 13
    }

    // One cell of the table: a column's alignment, cut at the right; its user
    // gives the width.
    component Cell: ElidedText {
        property var column

        height: parent ? parent.height : 0
        rightPadding: 10
        horizontalAlignment: column.align
        verticalAlignment: Text.AlignVCenter
    }
}
