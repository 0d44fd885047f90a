import QtQuick

// A 16 px icon that acts on a list row, such as edit or remove; its click area
// reaches 6 px beyond it.
Image {
    id: icon

    signal clicked

    anchors.verticalCenter: parent.verticalCenter
    width: 16
    height: 16
    sourceSize: Qt.size(16, 16)
    opacity: iconArea.containsMouse ? 1.0 : 0.7

    MouseArea {
        id: iconArea

        anchors.fill: parent
        anchors.margins: -6
        hoverEnabled: true
        onClicked: icon.clicked()
    }
}
