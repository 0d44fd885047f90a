import QtQuick
import QtQuick.Controls.Basic

// A tool tip whose text is shown as it stands, never read as markup: it may
// hold the player's or a server's words.
ToolTip {
    id: tip

    contentItem: Text {
        text: tip.text
        textFormat: Text.PlainText
        font: tip.font
        wrapMode: Text.Wrap
        color: tip.palette.toolTipText
    }
}
