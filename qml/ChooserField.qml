import QtQuick
import Hollowmere

// A box that shows a choice and opens a picker for it: the choice's text, dim
// while nothing is chosen, and "Choose…" at the right end; its border is lit
// while the pointer is over the click area or while the box has the keyboard's
// focus, where Space, Return and Enter open the picker as a click does. The
// rightmost part of the box can be kept out of the click area for a mark that
// the user puts there.
Rectangle {
    id: box

    property alias text: valueText.text
    property alias font: valueText.font
    property bool chosen: false
    // The room at the right that the text leaves free.
    property int textRoom: 110
    // The distance of "Choose…" from the right edge.
    property real chooseInset: 12
    // The width at the right that does not open the picker.
    property int clickRoom: 0
    readonly property alias valueText: valueText
    readonly property alias clickArea: clickArea

    signal clicked

    activeFocusOnTab: true
    radius: 6
    color: Theme.field
    border.width: 1
    border.color: hover.hovered || activeFocus ? Theme.accent : Theme.fieldBorder
    Keys.onSpacePressed: clicked()
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    Text {
        id: valueText

        anchors.fill: parent
        leftPadding: 10
        rightPadding: box.textRoom
        textFormat: Text.PlainText
        color: box.chosen ? "white" : Theme.faint
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    Text {
        anchors.right: parent.right
        anchors.rightMargin: box.chooseInset
        anchors.verticalCenter: parent.verticalCenter
        text: Loc.t.common.button.choose
        color: Theme.accent
        font.pixelSize: 12
    }

    MouseArea {
        id: clickArea

        width: parent.width - box.clickRoom
        height: parent.height
        onClicked: box.clicked()

        // Not the area's own hover: that stays set once the picker it opens
        // has taken the pointer.
        HoverHandler {
            id: hover
        }
    }
}
