import QtQuick
import QtQuick.Controls.Basic
import Hollowmere

// A form of the main window in the launcher's frame: a body column, and a
// footer with Cancel (rejects) and one button that accepts, which Return and
// Enter press too. Its height follows the body but stays 12 px inside the
// window; a body taller than that scrolls under the header and the footer,
// which stay in view.
DarkDialog {
    id: dialog

    default property alias body: bodyColumn.data
    property string acceptText
    property int bodySpacing: 12
    property int bodyPadding: 20

    implicitWidth: 320

    contentItem: Flickable {
        id: bodyView

        implicitHeight: bodyColumn.height
        contentHeight: bodyColumn.height
        clip: true
        // A body that fits takes every drag itself, text selection included.
        interactive: contentHeight > height
        boundsBehavior: Flickable.StopAtBounds
        // What a focused field or box leaves of Return and Enter reaches here.
        Keys.onReturnPressed: dialog.accept()
        Keys.onEnterPressed: dialog.accept()

        ScrollBar.vertical: ScrollBar {
            policy: bodyView.interactive ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
        }

        Column {
            id: bodyColumn

            width: bodyView.width
            topPadding: dialog.bodyPadding
            bottomPadding: dialog.bodyPadding
            spacing: dialog.bodySpacing
        }
    }

    footerItems: Row {
        anchors.horizontalCenter: parent.horizontalCenter
        // Centred on the whole footer, its top line included (the items stand
        // below that line).
        y: (dialog.footerHeight - height) / 2 - 1
        spacing: 12

        DarkButton {
            objectName: "cancelButton"
            width: 110
            fadeWhenDisabled: false
            text: Loc.t.common.button.cancel
            onClicked: dialog.reject()
        }
        DarkButton {
            objectName: "acceptButton"
            width: 110
            face: Theme.accent
            pressedFace: Theme.accentPressed
            fadeWhenDisabled: false
            text: dialog.acceptText
            onClicked: dialog.accept()
        }
    }
}
