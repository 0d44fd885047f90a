import QtQuick
import QtTest
import Hollowmere
import "doubles"

Item {
    MainWindowCase {
        name: "ProfileDialogs"

        function fillAndAccept(dialog, fields) {
            for (const name in fields) {
                if (name.endsWith("Auth"))
                    child(name, dialog).currentIndex = fields[name];
                else
                    child(name, dialog).text = fields[name];
            }
            accept(dialog);
        }

        // Five rows do not fit under the combo in a 720 px window: the list opens
        // above it then, as combo lists do.
        function test_popupHeight_data() {
            return [{ tag: "none", count: 0, list: 0, y: 41 }, { tag: "two", count: 2, list: 80, y: 41 },
                    { tag: "five", count: 5, list: 200, y: -231 }, { tag: "six", count: 6, list: 200, y: -231 }];
        }

        function test_popupHeight(data) {
            backend.profiles = Array.from({ length: data.count }, (_, i) => ({ name: "P" + i }));
            const popup = openProfilePopup();
            compare([popup.y, popup.height, child("profileItemList", popup).height],
                    [data.y, 32 + data.list, data.list]);
        }

        function test_tooltip() {
            const box = child("profileBox");
            const tip = resource(box, "profileTip");
            mouseMove(box);
            tryCompare(tip, "visible", true);
            compare([box.currentIndex, tip.text], [-1, Loc.t.profile.hint.addFirst]);
            backend.profiles = [{ name: "<b>Steve</b>" }];
            box.currentIndex = 0;
            compare([tip.text, tip.contentItem.textFormat], ["Player profile: <b>Steve</b>", Text.PlainText]);
            openProfilePopup();
            verify(!tip.visible);
        }

        function test_rows() {
            backend.profiles = [{ name: "Steve" }, { name: "Alex", login: "alex", password: " pw ",
                                 authType: "elyby" }, { name: "Kai" }];
            const box = child("profileBox");
            box.currentIndex = 0;
            // The trash removes at once and the popup stays; its click area reaches beyond it.
            openProfilePopup();
            mouseClick(rowIcon(2, "removeIcon"), 20, 8);
            compare(backend.callsOf("removeProfile"), [[2]]);
            verify(box.popup.visible);
            verify(!findChild(child("profileItemList", box.popup).itemAtIndex(0), "removeIcon").visible);

            // The pencil opens the editor with the stored record, selection unchanged.
            mouseClick(rowIcon(1, "editIcon"));
            const editor = child("editProfileDialog");
            tryCompare(editor, "opened", true);
            verify(!box.popup.visible);
            compare(box.currentIndex, 0);
            compare(["epName", "epLogin", "epPassword"].map(name => child(name, editor).text),
                    ["Alex", "alex", " pw "]);
            compare([child("epPassword", editor).echoMode, child("epAuth", editor).currentIndex],
                    [TextInput.Password, 1]);
            accept(editor);
            compare(backend.callsOf("updateProfile"), [[1, "Alex", "alex", " pw ", "elyby"]]);
            compare(editor.editIndex, -1);

            // A row click selects and closes.
            openProfilePopup();
            mouseClick(child("profileItemList", box.popup).itemAtIndex(1), 20, 20);
            compare(box.currentIndex, 1);
            tryCompare(box.popup, "visible", false);
        }

        // The fields go to the backend as typed, with the chosen kind; the backend's
        // name is the one selected.
        function test_addDialog_data() {
            return [
                { tag: "offline", fields: { pfName: " Steve ", pfLogin: " steve ", pfPassword: "x", pfAuth: 0 },
                  added: [" Steve ", " steve ", "x", "offline"], shown: "Steve" },
                { tag: "account service", fields: { pfName: "Alex", pfLogin: " a@b ", pfPassword: " p w ", pfAuth: 1 },
                  added: ["Alex", " a@b ", " p w ", "elyby"], shown: "Alex" },
                { tag: "microsoft", fields: { pfName: "Main", pfLogin: "x", pfPassword: "x", pfAuth: 2 },
                  added: ["Main", "x", "x", "microsoft"], shown: "Main", signIn: [[1]] },
                { tag: "blank name", fields: { pfName: "   ", pfLogin: "steve", pfAuth: 1 } },
                { tag: "escape", fields: { pfName: "Steve", pfAuth: 1 }, escape: true }
            ];
        }

        function test_addDialog(data) {
            backend.profiles = [{ name: "First" }];
            child("profileBox").currentIndex = 0;
            mouseClick(child("addProfileStrip", openProfilePopup()));
            const dialog = child("addProfileDialog");
            tryCompare(dialog, "opened", true);
            child("pfAuth", dialog).currentIndex = data.fields.pfAuth;
            compare([child("pfLogin", dialog).visible, child("pfPassword", dialog).visible],
                    [data.fields.pfAuth !== 2, data.fields.pfAuth === 1]);
            if (data.escape) {
                child("pfName", dialog).text = data.fields.pfName;
                keyClick(Qt.Key_Escape);
                tryCompare(dialog, "visible", false);
            } else {
                fillAndAccept(dialog, data.fields);
            }
            compare(backend.callsOf("addProfile"), data.added ? [data.added] : []);
            compare(child("profileBox").currentIndex, data.added ? 1 : 0);
            compare(child("profileBox").displayText, data.shown || "First");
            compare(backend.callsOf("startMicrosoftLogin"), data.signIn || []);
            // It opens empty with "offline" next time.
            compare(["pfName", "pfLogin", "pfPassword"].map(name => child(name, dialog).text), ["", "", ""]);
            compare(child("pfAuth", dialog).currentIndex, 0);
        }

        function test_editDialogMicrosoft() {
            backend.profiles = [{ name: "Main", authType: "microsoft", resolvedName: "Notch",
                                  hasMicrosoftSession: true }, { name: "Alt" }];
            const editor = child("editProfileDialog");
            editor.openFor(0);
            tryCompare(editor, "opened", true);
            const msLogin = child("epMsLogin", editor);
            compare([child("epAuth", editor).currentIndex, msLogin.text, msLogin.visible, msLogin.readOnly,
                     child("epLogin", editor).visible], [2, "Notch", true, true, false]);
            compare([child("msStatus", editor).text, child("msSignIn", editor).text],
                    [Loc.t.auth.status.signedIn, "Войти заново"]);
            // Signing in again hands the name field as it is: a blank one keeps the
            // stored name in the backend.
            child("epName", editor).text = "  ";
            mouseClick(child("msSignIn", editor));
            tryCompare(editor, "visible", false);
            compare(backend.callsOf("updateProfile"), [[0, "  ", "", "", "microsoft"]]);
            compare([backend.callsOf("startMicrosoftLogin"), editor.editIndex], [[[0]], 0]);

            // Another kind chosen with OK drops the session and starts no sign-in;
            // an index out of range opens the editor empty.
            editor.openFor(1);
            tryCompare(editor, "opened", true);
            compare([msLogin.visible, child("msStatus", editor).text], [false, Loc.t.auth.status.signedOut]);
            fillAndAccept(editor, { epName: " Alt2 ", epAuth: 2 });
            editor.openFor(7);
            tryCompare(editor, "opened", true);
            compare([child("epName", editor).text, child("epAuth", editor).currentIndex], ["", 0]);
            fillAndAccept(editor, { epName: "Ghost" });
            compare(backend.callsOf("updateProfile").slice(1),
                    [[1, " Alt2 ", "", "", "microsoft"], [7, "Ghost", "", "", "offline"]]);
            compare(backend.callsOf("startMicrosoftLogin").length, 1);
        }

        function test_twoFactorPrompt() {
            const prompt = child("twoFactorDialog");
            const code = child("twoFactorCode", prompt);
            code.text = "left over";
            backend.twoFactorRequired("<Alex>");
            tryCompare(prompt, "opened", true);
            const hint = child("twoFactorHint", prompt);
            compare([code.text, hint.text, hint.textFormat],
                    ["", "Enter the code from your authenticator app for \"<Alex>\"", Text.PlainText]);
            // Escape and a press outside leave it open.
            keyClick(Qt.Key_Escape);
            mouseClick(window.contentItem, 5, 5);
            wait(50);
            verify(prompt.visible);
            // Return hands over the code as typed; Cancel drops the launch.
            code.forceActiveFocus();
            code.text = " 123 456 ";
            keyClick(Qt.Key_Return);
            tryCompare(prompt, "visible", false);
            backend.twoFactorRequired("Alex");
            tryCompare(prompt, "opened", true);
            mouseClick(child("cancelButton", prompt));
            tryCompare(prompt, "visible", false);
            compare(backend.calls, [["submitTwoFactorCode", " 123 456 "], ["cancelPendingLaunch"]]);
        }
    }
}
