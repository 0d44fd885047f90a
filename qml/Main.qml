import QtQuick
import QtQuick.Controls
import Hollowmere

Window {
    id: window

    width: 960
    height: 600
    visible: true
    color: "#0f2236"
    title: Loc.t.app.title

    LauncherBackend {
        id: backend
    }

    LauncherUpdates {
        id: updates
    }

    Label {
        anchors.centerIn: parent
        text: Loc.t.app.title
        color: "#f3ead0"
        font.pixelSize: 32
    }
}
