import QtQuick
import Hollowmere

// The marks at the right end of a picker's row for something installed: a
// check and the remove icon, whose click area reaches 5 px beyond it.
Row {
    id: marks

    // The row is the chosen one, drawn in the accent colour.
    property bool chosen: false
    property alias iconName: icon.objectName

    signal removeClicked

    anchors.right: parent.right
    anchors.rightMargin: 10
    anchors.verticalCenter: parent.verticalCenter
    spacing: 8

    Text {
        anchors.verticalCenter: parent.verticalCenter
        text: "✓"
        color: marks.chosen ? Theme.inkOnAccent : Theme.accent
        font.pixelSize: 13
        font.bold: true
    }

    Image {
        id: icon

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
            onClicked: marks.removeClicked()
        }
    }
}
