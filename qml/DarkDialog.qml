import QtQuick
import QtQuick.Controls.Basic

// A modal dialog in the launcher's frame: a dark card with a coloured border,
// a 52 px header with the title over a separator, and a footer that opens with
// a separator. Users put their footer controls into footerItems. Users give
// their size as implicitWidth and implicitHeight; in a smaller window the
// dialog shrinks to stay 12 px inside each edge.
Dialog {
    id: dialog

    property color borderColor: Theme.accent
    property int titleSize: 17
    property int footerHeight: 60
    property alias footerItems: footerArea.data

    width: parent ? Math.min(implicitWidth, parent.width - 24) : implicitWidth
    height: parent ? Math.min(implicitHeight, parent.height - 24) : implicitHeight
    anchors.centerIn: parent
    modal: true
    padding: 0
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside

    background: Rectangle {
        color: Theme.card
        radius: 10
        border.width: 1
        border.color: dialog.borderColor
    }

    header: Item {
        implicitHeight: 52

        Text {
            anchors.centerIn: parent
            width: Math.min(implicitWidth, parent.width - 40)
            text: dialog.title
            textFormat: Text.PlainText
            color: "white"
            font.pixelSize: dialog.titleSize
            font.bold: true
            elide: Text.ElideRight
        }

        Rectangle {
            anchors.bottom: parent.bottom
            x: 1
            width: parent.width - 2
            height: 1
            color: Theme.separator
        }
    }

    footer: Item {
        implicitHeight: dialog.footerHeight

        Rectangle {
            x: 1
            width: parent.width - 2
            height: 1
            color: Theme.separator
        }

        Item {
            id: footerArea

            anchors.fill: parent
            anchors.topMargin: 1
        }
    }
}
