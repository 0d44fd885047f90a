import QtQuick
import Hollowmere

// A caption over a control of a form.
Text {
    color: Theme.caption
    font.pixelSize: 11
}
