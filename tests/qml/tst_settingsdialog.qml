import QtQuick
import QtTest
import Hollowmere
import "doubles"

// The settings dialog over the window's own backend in the test's data
// directory: what it shows, what Save stores, and the language switch.
Item {
    Component {
        id: storedSettings

        // A backend of its own reads the settings file back.
        LauncherBackend {}
    }

    MainWindowCase {
        id: test

        readonly property var keys: ["gameDir", "javaPath", "javaRuntime", "minMemoryMb",
            "maxMemoryMb", "jvmArgs", "windowWidth", "windowHeight", "fullscreen", "language"]

        function stored() {
            const backend = storedSettings.createObject(test);
            const settings = backend.settings();
            backend.destroy();
            return keys.map(key => settings[key]);
        }

        function dialog() {
            return window.dialogs().settings;
        }

        function field(name) {
            return child(name, dialog());
        }

        function openSettings() {
            mouseClick(child("settingsButton"));
            tryCompare(dialog(), "opened", true);
        }

        function save() {
            mouseClick(field("acceptButton"));
            tryCompare(dialog(), "visible", false);
        }

        name: "SettingsDialog"
        withDoubles: false

        function cleanup() {
            dialog().close();
            window.dialogs().javaPicker.close();
            tryCompare(dialog(), "visible", false);
        }

        function test_1_defaults() {
            openSettings();
            compare(["stGameDir", "stJavaPath", "stMinMemory", "stMaxMemory", "stWidth", "stHeight",
                     "stJvmArgs"].map(name => field(name).text), ["", "", "512", "4096", "0", "0", ""]);
            compare([field("stFullscreen").checked, field("stLanguage").currentIndex,
                     field("javaRuntimeText").text, field("clearJava").visible],
                    [false, 0, Loc.t.settings.status.javaRuntimeNone, false]);
            verify(field("stResolved").text.startsWith("Game folder: /"));
            verify(field("stResolved").text.endsWith("/.minecraft"));
            verify(field("stJavaList").text !== "");
        }

        // Cancel and Escape store nothing, and the next opening forgets the edits.
        function test_2_closingWithoutSaving() {
            const before = stored();
            for (const close of [() => mouseClick(field("cancelButton")), () => keyClick(Qt.Key_Escape)]) {
                openSettings();
                field("stGameDir").text = "/elsewhere";
                field("stLanguage").currentIndex = 1;
                window.dialogs().javaPicker.runtimeChosen("temurin-21");
                close();
                tryCompare(dialog(), "visible", false);
                compare(stored(), before);
            }
            openSettings();
            compare([field("stGameDir").text, field("stLanguage").currentIndex, dialog().javaRuntimeId],
                    ["", 0, ""]);
        }

        // Save writes all ten keys; an empty number field is 0, and a runtime
        // picked in the picker lands in the dialog, unknown and so "downloading".
        function test_3_saveStoresEverything() {
            openSettings();
            field("stGameDir").text = "  /games/mc ";
            field("stJavaPath").text = " /opt/java/bin/java";
            field("stMinMemory").text = "";
            field("stMaxMemory").text = "2048";
            field("stWidth").text = "854";
            field("stHeight").text = "480";
            // Pasted over two lines: stored, and shown, on one.
            field("stJvmArgs").text = " -XX:+UseG1GC\n-Xss2M\r\n";
            mouseClick(field("stFullscreen"));
            mouseClick(field("javaFieldArea"));
            const picker = window.dialogs().javaPicker;
            tryCompare(picker, "opened", true);
            picker.runtimeChosen("temurin-21");
            picker.close();
            compare(field("javaRuntimeText").text, "temurin-21 — downloading");
            save();
            compare(stored(), ["/games/mc", "/opt/java/bin/java", "temurin-21", 0, 2048,
                               "-XX:+UseG1GC -Xss2M", 854, 480, true, "system"]);
            openSettings();
            compare([field("stMinMemory").text, field("stResolved").text, field("stJvmArgs").text],
                    ["0", "Game folder: /games/mc", "-XX:+UseG1GC -Xss2M"]);
            mouseClick(field("clearJava"));
            compare([dialog().javaRuntimeId, field("javaRuntimeText").text],
                    ["", Loc.t.settings.status.javaRuntimeNone]);
        }

        // Saving another language switches every bound text at once.
        function test_4_languageSwitchesAtOnce() {
            const tip = child("settingsButton").tip;
            compare(tip, "Launch settings");
            openSettings();
            field("stLanguage").currentIndex = 1;
            save();
            compare(child("settingsButton").tip, "Настройки запуска");
            compare(stored()[9], "ru");
            openSettings();
            compare(field("cancelButton").text, "Отмена");
            field("stLanguage").currentIndex = 2;
            save();
            compare(child("settingsButton").tip, tip);
        }
    }
}
