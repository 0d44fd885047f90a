import QtQuick
import QtQuick.Controls.Basic

// A 36 px button of the dialogs: a rounded face that darkens while pressed and
// white centred text, ringed in the accent colour while it has the keyboard's
// focus; Return and Enter press it as Space does. Disabled buttons are drawn
// faded unless their user draws the disabled look itself.
AbstractButton {
    id: control

    property color face: Theme.button
    property color pressedFace: Theme.buttonPressed
    property color disabledFace: face
    property color borderColor: "transparent"
    property color textColor: "white"
    property bool fadeWhenDisabled: true

    height: 36
    opacity: enabled || !fadeWhenDisabled ? 1.0 : 0.45
    font.pixelSize: 13
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    contentItem: Text {
        text: control.text
        textFormat: Text.PlainText
        font: control.font
        color: control.textColor
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        radius: 6
        color: !control.enabled ? control.disabledFace
                                : (control.pressed ? control.pressedFace : control.face)
        border.width: control.borderColor.a > 0 ? 1 : 0
        border.color: control.borderColor

        FocusRing {
            visible: control.visualFocus
        }
    }
}
