import QtQuick
import QtQuick.Controls.Basic
import Hollowmere

// A text field in the launcher's dark look, its border lit while it has the focus.
TextField {
    id: field

    property color focusedBorder: Theme.accent

    color: "white"
    placeholderTextColor: Theme.faint

    background: Rectangle {
        color: Theme.field
        radius: 6
        border.width: 1
        border.color: field.activeFocus ? field.focusedBorder : Theme.fieldBorder
    }
}
