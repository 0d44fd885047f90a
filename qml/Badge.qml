import QtQuick

// A small coloured plate around a white bold text, as large as the text and
// the room given around it.
Rectangle {
    property alias text: label.text
    property alias textSize: label.font.pixelSize
    property int extraWidth: 0
    property int extraHeight: 0

    width: label.implicitWidth + extraWidth
    height: label.implicitHeight + extraHeight

    Text {
        id: label

        anchors.centerIn: parent
        textFormat: Text.PlainText
        color: "white"
        font.bold: true
    }
}
