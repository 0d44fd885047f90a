import QtQuick
import QtQuick.Controls.Basic

// A drop-down list in the launcher's dark look. Users set model (texts, or
// entries with a textRole), width and height and read the combo box's own
// currentIndex, currentValue, displayText and activated.
ComboBox {
    id: control

    padding: 0
    leftPadding: 0
    rightPadding: 0

    background: Rectangle {
        color: Theme.field
        radius: 6
        border.width: 1
        border.color: control.activeFocus ? Theme.accent : Theme.fieldBorder
    }

    contentItem: Text {
        leftPadding: 10
        rightPadding: control.indicator.width + 22
        text: control.displayText
        textFormat: Text.PlainText
        font: control.font
        color: "white"
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    indicator: Chevron {
        x: control.width - width - 12
        y: (control.height - height) / 2
        open: control.popup.visible
    }

    delegate: ItemDelegate {
        id: item

        required property int index
        required property var modelData

        width: control.width
        highlighted: control.highlightedIndex === index

        contentItem: Text {
            text: control.textRole !== "" ? item.modelData[control.textRole] : item.modelData
            textFormat: Text.PlainText
            font: control.font
            color: "white"
            verticalAlignment: Text.AlignVCenter
            elide: Text.ElideRight
        }

        background: Rectangle {
            color: item.highlighted ? "#3a3a3a" : Theme.field
        }
    }

    popup: Popup {
        y: control.height
        width: control.width
        padding: 1
        implicitHeight: Math.min(contentItem.implicitHeight + topPadding + bottomPadding, 220)

        contentItem: ListView {
            clip: true
            implicitHeight: contentHeight
            model: control.popup.visible ? control.delegateModel : null
            currentIndex: control.highlightedIndex

            ScrollIndicator.vertical: ScrollIndicator {}
        }

        background: Rectangle {
            color: Theme.field
            radius: 6
            border.width: 1
            border.color: Theme.fieldBorder
        }
    }
}
