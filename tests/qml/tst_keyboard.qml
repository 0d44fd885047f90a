import QtQuick
import QtTest
import Hollowmere
import "doubles"

// The launcher with the keyboard alone: Tab walks the forms in reading order
// and rings what it reaches in the accent colour; Return and Enter submit the
// profile and settings forms, Escape still cancels them.
Item {
    MainWindowCase {
        readonly property color accent: "#91B315"

        name: "Keyboard"

        // The name of the control that has the focus: a labelled field by its own.
        function focused() {
            const item = window.activeFocusItem;
            if (item === null)
                return "";
            return item.objectName === "field" ? item.parent.objectName : item.objectName;
        }

        // Whether the pixel 2 to 3 px left of the item's left edge, half way
        // down, has the accent colour.
        function accentLeftOf(item) {
            const at = item.mapToItem(window.contentItem, -2.5, item.height / 2);
            const drawn = grabImage(window.contentItem).pixel(Math.floor(at.x), Math.floor(at.y));
            return Math.abs(drawn.r - accent.r) + Math.abs(drawn.g - accent.g) + Math.abs(drawn.b - accent.b) < 0.03;
        }

        function type(text) {
            for (const character of text)
                keyClick(character);
        }

        function tabTo(name, limit) {
            for (let step = 0; step < limit && focused() !== name; ++step)
                keyClick(Qt.Key_Tab);
            compare(focused(), name);
        }

        function test_tabOrder_data() {
            const hosted = () => window.dialogs();
            return [
                { tag: "add profile", open: () => { hosted().addProfile.open(); return hosted().addProfile; },
                  order: ["pfLogin", "pfPassword", "pfAuth", "cancelButton", "acceptButton", "pfName"],
                  prepare: dialog => child("pfAuth", dialog).currentIndex = 1 },
                { tag: "settings", open: () => { hosted().settings.load(); return hosted().settings; },
                  order: ["stLanguage", "stGameDir", "stJavaPath", "javaRuntimeBox", "stMinMemory", "stMaxMemory",
                          "stWidth", "stHeight", "stJvmArgs", "stFullscreen", "cancelButton", "acceptButton",
                          "stLanguage"] }
            ];
        }

        function test_tabOrder(data) {
            const dialog = data.open();
            tryCompare(dialog, "opened", true);
            if (data.prepare)
                data.prepare(dialog);
            const walked = [];
            for (const expected of data.order) {
                keyClick(Qt.Key_Tab);
                walked.push(focused());
            }
            compare(walked, data.order);
            dialog.close();
            tryCompare(dialog, "visible", false);
        }

        // A button reached by Tab wears a ring of the accent colour just outside
        // it, on a dark face and on an accent one alike.
        function test_focusRing() {
            const settings = window.dialogs().settings;
            settings.load();
            tryCompare(settings, "opened", true);
            for (const name of ["cancelButton", "acceptButton"]) {
                const button = child(name, settings);
                verify(!accentLeftOf(button), name);
                tabTo(name, 14);
                tryVerify(() => accentLeftOf(button), 1000, name);
            }
            keyClick(Qt.Key_Escape);
            tryCompare(settings, "visible", false);
            compare(backend.callsOf("updateSettings"), []);
        }

        // On the main window too.
        function test_mainWindowRing() {
            const play = child("playButton");
            verify(!accentLeftOf(play));
            tabTo("playButton", 10);
            tryVerify(() => accentLeftOf(play));
        }

        // Return in a field and Enter on the keypad submit a form; Escape drops it.
        function test_enterSubmits_data() {
            return [
                { tag: "add profile by Return", key: Qt.Key_Return, open: dialogs => {
                        dialogs.addProfile.open();
                        return dialogs.addProfile;
                    }, field: "pfName", typed: "Steve", call: "addProfile" },
                { tag: "edit profile by Enter", key: Qt.Key_Enter, open: dialogs => {
                        dialogs.editProfile.openFor(0);
                        return dialogs.editProfile;
                    }, field: "epName", typed: "Alex2", call: "updateProfile" },
                { tag: "settings by Return", key: Qt.Key_Return, open: dialogs => {
                        dialogs.settings.load();
                        return dialogs.settings;
                    }, field: "stJvmArgs", typed: "-Xss2M", call: "updateSettings" },
                { tag: "settings by Escape", key: Qt.Key_Escape, open: dialogs => {
                        dialogs.settings.load();
                        return dialogs.settings;
                    }, field: "stJvmArgs", typed: "-Xss2M", call: "updateSettings", dropped: true }
            ];
        }

        function test_enterSubmits(data) {
            backend.profiles = [{ name: "Alex", authType: "offline" }];
            const dialog = data.open(window.dialogs());
            tryCompare(dialog, "opened", true);
            tabTo(data.field, 14);
            window.activeFocusItem.selectAll();
            type(data.typed);
            keyClick(data.key);
            tryCompare(dialog, "visible", false);
            const calls = backend.callsOf(data.call);
            if (data.dropped) {
                compare(calls, []);
            } else {
                compare(calls.length, 1);
                verify(JSON.stringify(calls[0]).includes(data.typed), JSON.stringify(calls[0]));
            }
        }

        // The builds dialog's game-version box is reached by Tab, lit, and opens
        // the version picker on Space.
        function test_versionBoxByKeyboard() {
            backend.builds = [{ name: "Vanilla", minecraftVersion: "1.21" }];
            backend.activeBuildIndex = 0;
            window.openBuilds();
            const builds = window.buildsDialog;
            tryCompare(builds, "opened", true);
            const box = child("bdMinecraft", builds);
            compare(box.border.color, Qt.color("#444444"));
            tabTo("bdMinecraft", 6);
            compare(box.border.color, accent);
            keyClick(Qt.Key_Space);
            const picker = findChild(builds, "versionPicker");
            tryCompare(picker, "opened", true);
            picker.close();
            tryCompare(picker, "visible", false);
        }
    }
}
