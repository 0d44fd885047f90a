import QtQuick
import QtQuick.Controls.Basic
import Hollowmere
import QtWebEngine

// The Microsoft account's sign-in pages in an embedded browser. Every address
// the browser reaches goes to the backend, which tells the desktop redirect
// apart and reads its code; the window hands that code back and closes.
Dialog {
    id: root

    required property var backend
    // Set once the window has acted on a redirect or was cancelled: whatever the
    // browser reports after that is ignored until the next opening.
    property bool codeTaken: false

    signal failed(string message)

    objectName: "microsoftLoginDialog"

    function openAt(url) {
        codeTaken = false;
        browser.url = url;
        open();
    }

    function handleUrl(url) {
        if (codeTaken)
            return;
        const answer = backend.inspectMicrosoftRedirect(String(url));
        if (!answer.matched)
            return;
        codeTaken = true;
        close();
        if (answer.code !== "") {
            backend.finishMicrosoftLogin(answer.code);
            return;
        }
        backend.cancelMicrosoftLogin();
        // The service's own words, untranslated; shown as plain text.
        failed(answer.error !== "" ? answer.error : Loc.t.auth.msa.error.incomplete);
    }

    anchors.centerIn: parent
    width: 560
    height: 680
    modal: true
    padding: 0
    closePolicy: Popup.NoAutoClose

    background: Rectangle {
        color: "#1e1e1e"
        radius: 10
        border.width: 1
        border.color: "#91B315"
    }

    header: Item {
        implicitHeight: 52

        Text {
            anchors.centerIn: parent
            text: Loc.t.auth.msa.title.signIn
            color: "#ffffff"
            font.pixelSize: 17
            font.bold: true
        }

        Rectangle {
            anchors.bottom: parent.bottom
            width: parent.width
            height: 1
            color: "#333333"
        }
    }

    contentItem: Item {
        // Nothing of a sign-in is kept on disk: no cookies, cache or storage
        // outlive the program.
        WebEngineProfile {
            id: signInProfile

            offTheRecord: true
        }

        WebEngineView {
            id: browser

            objectName: "browser"
            anchors.fill: parent
            anchors.margins: 12
            profile: signInProfile
            onUrlChanged: root.handleUrl(url)
        }

        BusyIndicator {
            objectName: "busyIndicator"
            anchors.centerIn: browser
            running: browser.loading
            visible: running
        }
    }

    footer: Item {
        implicitHeight: 60

        Rectangle {
            width: parent.width
            height: 1
            color: "#333333"
        }

        AbstractButton {
            id: cancelButton

            objectName: "cancelButton"
            anchors.centerIn: parent
            width: 110
            height: 36
            onClicked: {
                root.codeTaken = true;
                root.close();
                root.backend.cancelMicrosoftLogin();
            }

            contentItem: Text {
                text: Loc.t.common.button.cancel
                color: "#ffffff"
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
            }

            background: Rectangle {
                radius: 6
                color: cancelButton.pressed ? "#444444" : "#333333"
            }
        }
    }
}
