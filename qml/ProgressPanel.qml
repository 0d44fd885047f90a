import QtQuick

// A progress card: title, percentage, bar, one status line and an optional
// cancel cross. It only shows and asks; its user decides what a cancel means.
Rectangle {
    id: panel

    property string title: ""
    property string status: ""
    // From 0 to 1; negative while the total is not known yet.
    property real fraction: -1
    property string detail: ""
    property bool cancellable: true

    signal cancelRequested

    width: 320
    height: 72
    radius: 8
    color: Theme.card
    border.width: 1
    border.color: Theme.accent
    opacity: 0.94

    Text {
        objectName: "title"
        x: 12
        y: 8
        width: Math.min(implicitWidth, panel.width - 70)
        text: panel.title
        textFormat: Text.PlainText
        color: "white"
        font.pixelSize: 12
        font.bold: true
        elide: Text.ElideRight
    }

    Text {
        objectName: "percent"
        anchors.right: parent.right
        anchors.rightMargin: 12
        y: 8
        text: panel.fraction < 0 ? "…" : Math.round(panel.fraction * 100) + "%"
        color: Theme.accent
        font.pixelSize: 12
    }

    Rectangle {
        id: track

        x: 12
        y: 30
        width: panel.width - 24
        height: 6
        radius: 3
        color: "#2a2a2a"

        Rectangle {
            objectName: "fill"
            height: parent.height
            radius: 3
            color: Theme.accent
            width: panel.fraction > 0 ? track.width * panel.fraction : 0

            Behavior on width {
                NumberAnimation {
                    duration: 120
                }
            }
        }
    }

    Text {
        objectName: "line"
        x: 12
        y: 44
        width: Math.min(implicitWidth, panel.width - 40)
        text: panel.detail !== "" ? panel.detail : panel.status
        textFormat: Text.PlainText
        color: Theme.secondary
        font.pixelSize: 10
        elide: Text.ElideMiddle
    }

    Text {
        objectName: "cancel"
        anchors.right: parent.right
        anchors.rightMargin: 10
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 6
        visible: panel.cancellable
        text: "✕"
        color: cancelArea.containsMouse ? Theme.warning : Theme.faint
        font.pixelSize: 12

        MouseArea {
            id: cancelArea

            anchors.fill: parent
            anchors.margins: -6
            hoverEnabled: true
            onClicked: panel.cancelRequested()
        }
    }
}
