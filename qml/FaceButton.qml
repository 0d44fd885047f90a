import QtQuick
import QtQuick.Controls.Basic

// A 70 × 40 button drawn by three faces, ringed while it has the keyboard's
// focus; its look does not change when disabled.
AbstractButton {
    id: faceButton

    property string tip
    property url idleFace
    property url hoverFace
    property url pressedFace

    width: 70
    height: 40
    hoverEnabled: true
    ToolTip.visible: hovered
    ToolTip.text: tip

    contentItem: Image {
        sourceSize: Qt.size(70, 40)
        fillMode: Image.PreserveAspectFit
        source: faceButton.pressed ? faceButton.pressedFace
                                   : (faceButton.hovered ? faceButton.hoverFace
                                                         : faceButton.idleFace)

        FocusRing {
            radius: 10
            visible: faceButton.visualFocus
        }
    }
}
