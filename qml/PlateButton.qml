import QtQuick
import QtQuick.Controls.Basic
import Hollowmere

// A 183 × 42 button of the main window: a dark plate that takes the accent
// colour while pressed or while what it opens is open, its border lit while
// hovered, ringed while it has the keyboard's focus; drawn faded when disabled.
AbstractButton {
    id: plate

    property bool open: false
    // Drawn on the plate.
    property alias plateItems: plateRect.data

    width: 183
    height: 42
    hoverEnabled: true
    opacity: enabled ? 1.0 : 0.45

    background: Rectangle {
        id: plateRect

        radius: 6
        color: plate.pressed || plate.open ? Theme.accent : Theme.plate
        border.width: 1
        border.color: plate.hovered ? Theme.accent : Theme.plate
    }

    FocusRing {
        radius: 10
        visible: plate.visualFocus
    }
}
