import QtQuick
import QtTest
import Hollowmere
import "doubles"

// The sign-in window's verdicts on the addresses its browser reaches, with a
// backend double that answers every address as the test says.
Item {
    width: 800
    height: 800

    BackendDouble {
        id: backend
    }

    MicrosoftLoginDialog {
        id: signIn

        backend: backend
    }

    SignalSpy {
        id: failed

        target: signIn
        signalName: "failed"
    }

    TestCase {
        property int openings: 0

        name: "MicrosoftLogin"
        when: windowShown

        // Opens on a blank page and waits until the window has seen its address.
        function openBlank() {
            backend.reset();
            // Each opening on an address of its own, so the browser reports it.
            signIn.openAt("about:blank#" + ++openings);
            tryCompare(signIn, "opened", true);
            tryVerify(() => backend.callsOf("inspectMicrosoftRedirect").length > 0);
            backend.calls = [];
        }

        function redirect(code, error) {
            backend.redirect = { matched: true, code: code, error: error };
            signIn.handleUrl("https://127.0.0.1/oauth20_desktop.srf");
        }

        function init() {
            failed.clear();
        }

        function test_redirect_data() {
            return [
                { tag: "code", code: "abc", error: "", calls: [["finishMicrosoftLogin", "abc"]] },
                { tag: "error", code: "", error: "<b>access_denied</b>",
                  calls: [["cancelMicrosoftLogin"]], message: "<b>access_denied</b>" },
                { tag: "neither", code: "", error: "", calls: [["cancelMicrosoftLogin"]],
                  message: Loc.t.auth.msa.error.incomplete }
            ];
        }

        function test_redirect(data) {
            openBlank();
            redirect(data.code, data.error);
            compare(backend.calls.slice(1), data.calls);
            compare(failed.signalArguments.map(args => args[0]),
                    data.message === undefined ? [] : [data.message]);
            compare(signIn.codeTaken, true);
            tryCompare(signIn, "visible", false);
            // A further address of the redirect page calls nothing.
            redirect("def", "");
            compare(backend.calls.length, data.calls.length + 1);
        }

        function test_signInPagesKeepItOpen() {
            openBlank();
            signIn.handleUrl("https://127.0.0.1/oauth20_authorize.srf?client_id=x");
            compare(backend.calls, [["inspectMicrosoftRedirect",
                                     "https://127.0.0.1/oauth20_authorize.srf?client_id=x"]]);
            // Neither Escape nor a press outside closes it.
            keyClick(Qt.Key_Escape);
            mouseClick(signIn.parent, 5, 5);
            wait(50);
            verify(signIn.opened);
            mouseClick(findChild(signIn.footer, "cancelButton"));
            tryCompare(signIn, "visible", false);
            compare(backend.callsOf("cancelMicrosoftLogin"), [[]]);
            redirect("abc", "");
            compare(backend.callsOf("finishMicrosoftLogin"), []);
        }

        // A new opening acts on the next redirect again.
        function test_reopenResets() {
            openBlank();
            redirect("first", "");
            openBlank();
            compare(signIn.codeTaken, false);
            redirect("second", "");
            compare(backend.callsOf("finishMicrosoftLogin"), [["second"]]);
            compare(failed.count, 0);
        }
    }
}
