import QtQuick
import Hollowmere

// A caption over a control of a form.
Text {
    textFormat: Text.PlainText
    color: Theme.caption
    font.pixelSize: 11
}
