import QtQuick
import QtTest
import Hollowmere
import "doubles"

// The window with its own backend and update model, in the test's data
// directory: it comes up without a warning, and what its dialogs do reaches the
// stored profiles and the backend.
Item {
    Component {
        id: storedProfiles

        // A backend of its own reads the profiles back from the data directory.
        LauncherBackend {}
    }

    MainWindowCase {
        id: test

        function stored() {
            const backend = storedProfiles.createObject(test);
            const profiles = backend.profileNames.map((name, index) => backend.profileAt(index));
            backend.destroy();
            return profiles.map(p => [p.name, p.login, p.password, p.authType].join("|"));
        }

        function storedBuilds() {
            const backend = storedProfiles.createObject(test);
            const builds = backend.customBuildNames.map((name, index) => backend.customBuildAt(index));
            backend.destroy();
            return builds.map(b => [b.name, b.serverUrl, b.minecraftVersion].join("|"));
        }

        name: "MainWithBackend"
        withDoubles: false

        function test_1_startsWithItsOwnModels() {
            verify(String(window.backend).startsWith("LauncherBackend"));
            compare(window.title, "Hollowmere");
            // The window asked for its own channel's releases.
            tryVerify(() => window.launcherUpdates.states.release === "ready");
            // Play without a profile is refused by the backend.
            mouseClick(child("playButton"));
            tryCompare(child("toastLabel"), "text", Loc.t.launch.error.noProfile);
        }

        function test_2_profilesReachTheStore() {
            mouseClick(child("addProfileStrip", openProfilePopup()));
            const add = child("addProfileDialog");
            tryCompare(add, "opened", true);
            child("pfName", add).text = " Steve ";
            child("pfLogin", add).text = "steve";
            accept(add);
            compare(stored(), ["Steve|steve||offline"]);

            openProfilePopup();
            mouseClick(rowIcon(0, "editIcon"));
            const edit = child("editProfileDialog");
            tryCompare(edit, "opened", true);
            child("epAuth", edit).currentIndex = 1;
            child("epPassword", edit).text = " hunter2 ";
            accept(edit);
            compare(stored(), ["Steve|steve| hunter2 |elyby"]);

            openProfilePopup();
            mouseClick(rowIcon(0, "removeIcon"));
            compare(stored(), []);
            tryCompare(child("profileBox"), "currentIndex", -1);
        }

        // The prompt hands the code to the backend, which has no launch waiting.
        function test_3_twoFactorCodeReachesTheBackend() {
            window.backend.twoFactorRequired("Steve");
            const prompt = child("twoFactorDialog");
            tryCompare(prompt, "opened", true);
            child("twoFactorCode", prompt).text = "123456";
            keyClick(Qt.Key_Return);
            tryCompare(child("toastLabel"), "text", Loc.t.launch.status.alreadyCancelled);
        }

        // A build added and edited in the builds dialog is what the builds file holds.
        function test_4_buildsReachTheStore() {
            mouseClick(child("buildButton"));
            const dialog = window.buildsDialog;
            tryCompare(dialog, "opened", true);
            compare(child("buildButton").contentItem.text, Loc.t.common.status.noBuildSelected);
            mouseClick(findChild(dialog.contentItem, "addBuildRow"));
            compare(storedBuilds(), ["Build 1||"]);
            // The first build is the active one, and the build button says so at once.
            compare(child("buildButton").contentItem.text, "Build 1");
            const name = findChild(findChild(dialog.contentItem, "bdName"), "field");
            name.forceActiveFocus();
            name.text = " Survival ";
            keyClick(Qt.Key_Return);
            const server = findChild(findChild(dialog.contentItem, "bdServer"), "field");
            server.forceActiveFocus();
            server.text = "mc.example:25565";
            keyClick(Qt.Key_Return);
            compare(storedBuilds(), ["Survival|mc.example:25565|"]);
            compare(child("buildButton").contentItem.text, "Survival");
        }

        // A text pasted over two lines is stored, and shown, on one.
        function test_6_pastedLineBreaks() {
            const paste = (field, text) => {
                field.forceActiveFocus();
                field.text = text;
                field.selectAll();
                field.cut();
                field.paste();
            };
            mouseClick(child("addProfileStrip", openProfilePopup()));
            const add = child("addProfileDialog");
            tryCompare(add, "opened", true);
            paste(child("pfName", add), "line one\nline two");
            paste(child("pfLogin", add), "steve\r\n");
            accept(add);
            compare(stored(), ["line one line two|steve||offline"]);
            compare(child("profileBox").displayText, "line one line two");

            mouseClick(child("buildButton"));
            const dialog = window.buildsDialog;
            tryCompare(dialog, "opened", true);
            const name = findChild(findChild(dialog.contentItem, "bdName"), "field");
            paste(name, "Survival\u2028World\n");
            keyClick(Qt.Key_Return);
            compare(storedBuilds()[0].split("|")[0], "Survival World");
            compare(name.text, "Survival World");
        }

        // An unusable catalog address is told as such, not as an empty catalog.
        function test_5_seasonalAddressError() {
            window.backend.updateSettings({ seasonalBaseUrl: "not an address" });
            mouseClick(child("seasonsButton"));
            const dialog = window.seasonalDialog;
            tryCompare(dialog, "opened", true);
            const message = findChild(dialog.contentItem, "messageText");
            tryCompare(message, "text", Loc.t.seasonal.error.noServerUrl);
            compare(message.color, Qt.color("#cc6666"));
        }
    }
}
