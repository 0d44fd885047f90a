import QtQuick
import QtQuick.Controls.Basic
import Hollowmere
import QtQuick.Layouts

// The launcher's own releases per channel: their change notes open in the
// browser, and one of them can be installed over the running launcher, whose
// download the main window shows.
DarkDialog {
    id: root

    required property var updates
    property string channel: "release"
    property string selectedVersion: ""

    readonly property string state: updates.states[channel] || ""
    readonly property var entries: updates.catalogs[channel] || []
    readonly property bool canInstall: !updates.installing && state === "ready"
                                       && entries.some(entry => entry.version === selectedVersion
                                                       && entry.download !== "")

    function selectChannel(value) {
        channel = value;
        selectedVersion = "";
        if (state !== "ready")
            updates.refresh(channel);
    }

    // The change notes open in the browser only at an https address; the model
    // builds them from the repository's own address.
    function openChanges(address) {
        if (String(address).startsWith("https://"))
            Qt.openUrlExternally(address);
    }

    function formatDate(date) {
        return date instanceof Date && !isNaN(date.getTime())
                ? date.toLocaleDateString(Qt.locale(), Locale.ShortFormat) : "";
    }

    title: Loc.t.app.label.launcherVersions
    implicitWidth: 720
    implicitHeight: 480
    focus: true
    // While a download runs the dialog opens as it was left.
    onAboutToShow: {
        if (!updates.installing)
            selectChannel(updates.channel === "rc" ? "rc" : "release");
    }

    contentItem: RowLayout {
        spacing: 0

        // 160 px wide with its margins, which lie outside a layout's preferred width.
        ColumnLayout {
            Layout.preferredWidth: 160 - 2 * 8
            Layout.fillHeight: true
            Layout.margins: 8
            spacing: 4
            enabled: !root.updates.installing

            // Written out rather than repeated: a layout made while the dialog
            // is loaded in the background does not place repeated rows.
            ChannelButton {
                key: "release"
                title: "Release"
            }
            ChannelButton {
                key: "rc"
                title: "Release Candidate"
            }

            Item {
                Layout.fillHeight: true
            }
        }

        Rectangle {
            objectName: "channelDivider"
            Layout.preferredWidth: 1
            Layout.fillHeight: true
            color: Theme.separator
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.margins: 8
            spacing: 6

            RowLayout {
                Layout.fillWidth: true
                Layout.leftMargin: 10
                Layout.rightMargin: 10

                Text {
                    Layout.fillWidth: true
                    text: Loc.t.app.label.versionName
                    color: Theme.caption
                }
                Text {
                    Layout.preferredWidth: 110
                    text: Loc.t.app.label.releaseDate
                    color: Theme.caption
                }
                Text {
                    Layout.preferredWidth: 100
                    text: Loc.t.app.label.changes
                    color: Theme.caption
                    horizontalAlignment: Text.AlignHCenter
                }
            }

            Item {
                Layout.fillWidth: true
                Layout.fillHeight: true

                ListView {
                    id: releaseList

                    objectName: "releaseList"
                    anchors.fill: parent
                    clip: true
                    spacing: 1
                    enabled: !root.updates.installing
                    model: root.entries

                    ScrollBar.vertical: ScrollBar {}

                    delegate: ItemDelegate {
                        id: releaseRow

                        required property var modelData
                        readonly property bool downloadable: modelData.download !== ""

                        objectName: "release_" + modelData.version
                        width: ListView.view.width
                        height: 36
                        leftPadding: 10
                        rightPadding: 10
                        topPadding: 0
                        bottomPadding: 0
                        hoverEnabled: true
                        onClicked: root.selectedVersion = modelData.version

                        background: Rectangle {
                            radius: 5
                            color: releaseRow.modelData.version === root.selectedVersion
                                   ? "#364514"
                                   : (releaseRow.hovered || releaseRow.activeFocus ? Theme.rowLit
                                                                                   : Theme.plate)
                        }

                        contentItem: RowLayout {
                            spacing: 6

                            Text {
                                Layout.fillWidth: true
                                text: releaseRow.modelData.version
                                textFormat: Text.PlainText
                                elide: Text.ElideRight
                                font.pixelSize: 13
                                color: releaseRow.downloadable ? "white" : Theme.caption
                            }
                            Text {
                                objectName: "newBadge"
                                visible: root.channel === root.updates.channel
                                         && releaseRow.modelData.version === root.updates.latest
                                text: Loc.t.app.status.newVersion
                                color: "#b9d84f"
                                font.pixelSize: 11
                            }
                            Text {
                                Layout.preferredWidth: 110
                                text: root.formatDate(releaseRow.modelData.date)
                                color: Theme.caption
                                font.pixelSize: 12
                            }
                            Item {
                                Layout.preferredWidth: 100
                                Layout.preferredHeight: 28

                                Button {
                                    objectName: "changesButton"
                                    anchors.centerIn: parent
                                    width: 28
                                    height: 28
                                    padding: 0
                                    flat: true
                                    hoverEnabled: true
                                    display: AbstractButton.IconOnly
                                    icon.source: "images/ExternalLink.svg"
                                    icon.width: 16
                                    icon.height: 16
                                    icon.color: "#b9d84f"
                                    Accessible.name: Loc.t.app.hint.openChanges
                                    ToolTip.visible: hovered
                                    ToolTip.text: Loc.t.app.hint.openChanges
                                    onClicked: root.openChanges(releaseRow.modelData.changelog)
                                }
                            }
                        }
                    }
                }

                // Drawn over any rows still listed: an older catalog stays while a refresh
                // runs or after one failed.
                Text {
                    objectName: "placeholder"
                    anchors.centerIn: parent
                    visible: root.state !== "ready" || root.entries.length === 0
                    text: root.state === "loading" ? Loc.t.app.status.loadingVersions
                                                   : (root.state === "error" ? Loc.t.app.error.versionCatalog
                                                                             : Loc.t.app.status.noVersions)
                    color: Theme.caption
                }
            }
        }
    }

    footerItems: Row {
        anchors.centerIn: parent
        spacing: 12

        DarkButton {
            objectName: "closeButton"
            width: 130
            hoverEnabled: true
            face: hovered || activeFocus ? Theme.buttonPressed : Theme.button
            pressedFace: face
            text: Loc.t.common.button.close
            onClicked: root.close()
        }

        DarkButton {
            objectName: "installButton"
            width: 170
            hoverEnabled: true
            enabled: root.canInstall
            face: hovered || activeFocus ? "#a0c51a" : Theme.accent
            pressedFace: face
            text: root.updates.installing ? Loc.t.app.status.downloadingInstaller
                                          : Loc.t.common.button.install
            onClicked: root.updates.install(root.channel, root.selectedVersion)
        }
    }

    component ChannelButton: AbstractButton {
        id: channelButton

        required property string key
        required property string title

        objectName: "channel_" + key
        Layout.preferredWidth: 144
        Layout.preferredHeight: 34
        hoverEnabled: true
        onClicked: root.selectChannel(key)

        contentItem: Text {
            leftPadding: 10
            text: channelButton.title
            color: "white"
            font.pixelSize: 13
            verticalAlignment: Text.AlignVCenter
        }

        background: Rectangle {
            radius: 5
            color: channelButton.key === root.channel
                   ? Theme.accent
                   : (channelButton.hovered || channelButton.activeFocus ? Theme.rowLit : "transparent")
        }
    }
}
