import QtQuick
import QtQuick.Controls.Basic
import Hollowmere

// The question before something is removed for good: lines of text, then Cancel
// in the accent colour and the destructive Remove in dark red. Each line is a map
// with text and, optionally, color (default "#cc6666"), size (12) and shown.
DarkDialog {
    id: confirm

    property var lines: []

    // Remove was pressed; the question is still open, its user closes it.
    signal removeClicked

    implicitWidth: 420
    borderColor: Theme.warning

    contentItem: Column {
        topPadding: 18
        bottomPadding: 18
        spacing: 10

        Repeater {
            model: confirm.lines

            delegate: Text {
                required property var modelData

                x: 20
                width: parent.width - 40
                visible: modelData.shown !== false
                text: modelData.text
                textFormat: Text.PlainText
                wrapMode: Text.Wrap
                color: modelData.color || Theme.warning
                font.pixelSize: modelData.size || 12
            }
        }
    }

    footerItems: Row {
        anchors.centerIn: parent
        spacing: 12

        DarkButton {
            objectName: "cancelRemove"
            width: 130
            text: Loc.t.common.button.cancel
            face: Theme.accent
            pressedFace: Theme.accentPressed
            onClicked: confirm.close()
        }
        DarkButton {
            objectName: "confirmRemove"
            width: 130
            text: Loc.t.common.button.remove
            face: "#663333"
            pressedFace: "#8a3a3a"
            borderColor: Theme.warning
            onClicked: confirm.removeClicked()
        }
    }
}
