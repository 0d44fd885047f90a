import QtQuick

// The 10 px chevron of a drop-down control: it points up while the control is
// open and down while it is closed (both pictures are drawn turned half round).
Image {
    property bool open: false

    width: 10
    height: 10
    sourceSize: Qt.size(10, 10)
    fillMode: Image.PreserveAspectFit
    rotation: 180
    source: open ? "images/Profile_Box/Asset_23.svg" : "images/Profile_Box/Asset_24.svg"
}
