import QtQuick
import QtTest
import Hollowmere
import "doubles"

// The settings dialog's frame over a long list of detected Java executables:
// it stays inside the window, its body scrolls under a footer that stays in
// view, and its fields keep to the body's column.
Item {
    MainWindowCase {
        readonly property var javaLines: {
            const lines = [];
            for (const runtime of ["alpha", "beta", "gamma", "delta"]) {
                for (const flavour of ["", "-legacy", "-preview"])
                    lines.push("Java 17 — /home/player/.minecraft/runtime/java-runtime-" + runtime
                               + flavour + "/linux/java-runtime-" + runtime + flavour + "/bin/java");
            }
            for (const home of ["java-17-openjdk-amd64", "java-21-openjdk-amd64", "temurin-8-jdk-amd64",
                                "zulu-11-jdk-amd64"])
                lines.push("Java 21 — /usr/lib/jvm/" + home + "/bin/java");
            return lines;
        }

        function dialog() {
            return window.dialogs().settings;
        }

        function openSettings() {
            backend.javaLines = javaLines;
            mouseClick(child("settingsButton"));
            tryCompare(dialog(), "opened", true);
        }

        function inWindow(item) {
            return item.mapToItem(window.contentItem, 0, 0);
        }

        // The nearest ancestor that clips what it holds.
        function clippingAncestor(item) {
            for (let at = item.parent; at !== null; at = at.parent) {
                if (at.clip)
                    return at;
            }
            return null;
        }

        name: "SettingsLayout"

        function cleanup() {
            dialog().close();
            tryCompare(dialog(), "visible", false);
        }

        function test_longJavaList_data() {
            return [{ tag: "opening size", height: 720 }, { tag: "low window", height: 420 }];
        }

        function test_longJavaList(data) {
            window.height = data.height;
            tryCompare(window.contentItem, "height", data.height);
            openSettings();
            const settings = dialog();
            const list = child("stJavaList", settings);
            verify(list.lineCount >= 16);
            // Once the body has laid the list out.
            tryVerify(() => list.y + list.height <= list.parent.height);
            verify(settings.y >= 0 && settings.y + settings.height <= data.height,
                   JSON.stringify([settings.y, settings.height]));
            // Cancel and Save lie inside the window, in a footer the body cannot reach.
            const footerTop = inWindow(settings.footer).y;
            for (const name of ["cancelButton", "acceptButton"]) {
                const button = child(name, settings);
                verify(button.visible);
                verify(inWindow(button).y >= footerTop
                       && inWindow(button).y + button.height <= data.height, name);
            }
            const viewport = clippingAncestor(list);
            verify(viewport !== null);
            verify(inWindow(viewport).y + viewport.height <= footerTop);
            // The body scrolls down to the list's last line (wheel scrolling glides).
            for (let turn = 0; turn < 20; ++turn)
                mouseWheel(viewport, viewport.width / 2, viewport.height / 2, 0, -240);
            const end = () => list.mapToItem(viewport, 0, list.height).y;
            tryVerify(() => end() <= viewport.height && end() > viewport.height - 40, 3000, "the list ends in view");
        }

        // The four number fields share the column's width with the fields above
        // and below them.
        function test_numberFieldsFitTheColumn() {
            openSettings();
            const settings = dialog();
            const column = child("stJvmArgs", settings);
            const fields = ["stMinMemory", "stMaxMemory", "stWidth", "stHeight"]
                .map(name => child(name, settings));
            const left = field => inWindow(field).x;
            compare(left(fields[0]), left(column));
            compare(left(fields[3]) + fields[3].width, left(column) + column.width);
            compare(new Set(fields.map(field => field.width)).size, 1);
            compare(fields.map(field => left(field) % 1), [0, 0, 0, 0]);
        }

        // The runtime box's hover border goes with the pointer, also when the
        // picker it opened has been over it.
        function test_runtimeBoxHoverEndsAfterThePicker() {
            openSettings();
            const area = child("javaFieldArea", dialog());
            mouseMove(area, 20, 10);
            tryCompare(area.parent.border, "color", Qt.color("#91B315"));
            mouseClick(area, 20, 10);
            const picker = window.dialogs().javaPicker;
            tryCompare(picker, "opened", true);
            mouseMove(picker.contentItem, 10, 10);
            keyClick(Qt.Key_Escape);
            tryCompare(picker, "visible", false);
            mouseMove(child("stJvmArgs", dialog()), 5, 5);
            tryCompare(area.parent.border, "color", Qt.color("#444444"));
        }
    }
}
