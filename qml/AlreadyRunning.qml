import QtQuick
import QtQuick.Controls.Basic
import Hollowmere

// Shown instead of the main window when another launcher already uses the same data
// directory; closing it ends the program.
Window {
    id: window

    // The data directory, as the player's system writes paths.
    required property string dataDir

    width: 440
    height: content.implicitHeight + 48
    minimumWidth: width
    maximumWidth: width
    minimumHeight: height
    maximumHeight: height
    visible: true
    color: Theme.card
    title: Loc.t.app.error.alreadyRunning

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
            text: Loc.t.app.error.alreadyRunning
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            color: "white"
            font.pixelSize: 16
            font.bold: true
        }

        Text {
            width: parent.width
            text: Loc.t.app.hint.alreadyRunning.arg(window.dataDir)
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
