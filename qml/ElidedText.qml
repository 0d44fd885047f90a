import QtQuick

// A line cut with an ellipsis at its end when it does not fit; while it is cut,
// its whole text shows in a tool tip where the pointer rests on it. The text is
// shown as it stands, never read as markup.
Text {
    id: label

    textFormat: Text.PlainText
    elide: Text.ElideRight

    HoverHandler {
        id: hover
    }

    // Made only while it shows, so long lists carry no tool tip per line.
    Loader {
        objectName: "wholeText"
        active: hover.hovered && label.truncated

        sourceComponent: PlainToolTip {
            parent: label
            visible: true
            text: label.text
        }
    }
}
