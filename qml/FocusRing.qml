import QtQuick
import Hollowmere

// Where the keyboard is: an accent ring 2 px wide and 2 px clear of its
// parent, following the parent's corners, so it shows on accent faces as well
// as on dark ones.
// Its user sets visible, as a rule to the control's visualFocus (the focus
// that came by Tab, not by a click).
Rectangle {
    objectName: "focusRing"
    anchors.fill: parent
    anchors.margins: -4
    radius: (parent && parent.radius !== undefined ? parent.radius : 0) + 4
    color: "transparent"
    border.width: 2
    border.color: Theme.accent
}
