import QtQuick
import QtQuick.Controls.Basic
import Hollowmere
import QtWebEngine

// The Microsoft account's sign-in pages in an embedded browser. Every address
// the browser reaches goes to the backend, which tells the desktop redirect
// apart and reads its code; the window hands that code back and closes.
DarkDialog {
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

    title: Loc.t.auth.msa.title.signIn
    implicitWidth: 560
    implicitHeight: 680
    closePolicy: Popup.NoAutoClose

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

    footerItems: DarkButton {
        objectName: "cancelButton"
        anchors.centerIn: parent
        width: 110
        text: Loc.t.common.button.cancel
        onClicked: {
            root.codeTaken = true;
            root.close();
            root.backend.cancelMicrosoftLogin();
        }
    }
}
