import QtQuick
import QtQuick.Controls.Basic
import Hollowmere

// Shown instead of the main window when the data directory is in use: another launcher
// already uses it, or a game that an earlier launcher started still runs there. Closing it
// ends the program.
Window {
    id: window

    // What keeps the launcher out, in the interface's language: the title and the first
    // line, then why and what the player can do.
    required property string heading
    required property string detail

    width: 440
    height: content.implicitHeight + 48
    minimumWidth: width
    maximumWidth: width
    minimumHeight: height
    maximumHeight: height
    visible: true
    color: Theme.card
    title: window.heading

    Shortcut {
        sequences: [StandardKey.Cancel]
        onActivated: window.close()
    }

    Column {
        id: content

        x: 24
        y: 24
        width: window.width - 48
        spacing: 14

        Text {
            width: parent.width
            text: window.heading
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            color: "white"
            font.pixelSize: 16
            font.bold: true
        }

        Text {
            width: parent.width
            text: window.detail
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            color: Theme.caption
            font.pixelSize: 13
        }

        DarkButton {
            anchors.right: parent.right
            width: 100
            text: Loc.t.common.button.ok
            face: Theme.accent
            pressedFace: Theme.accentPressed
            textColor: Theme.inkOnAccent
            focus: true
            onClicked: window.close()
        }
    }
}
