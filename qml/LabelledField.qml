import QtQuick
import QtQuick.Controls.Basic

// A caption over a dark text field; the user sets the width.
Column {
    id: root

    property alias text: field.text
    property alias validator: field.validator
    property string label: ""
    property string placeholder: ""

    signal editingFinished

    spacing: 3

    Text {
        width: root.width
        text: root.label
        textFormat: Text.PlainText
        color: Theme.caption
        font.pixelSize: 11
        elide: Text.ElideRight
    }

    DarkField {
        id: field

        objectName: "field"
        width: root.width
        height: 32
        placeholderText: root.placeholder
        onEditingFinished: root.editingFinished()
    }
}
