import QtQuick
import QtTest
import Hollowmere
import "doubles"

Item {
    id: root

    width: 1280
    height: 720

    BackendDouble {
        id: fakeBackend
    }

    BuildsDialog {
        id: dialog

        backend: fakeBackend
    }

    TestCase {
        readonly property var backend: fakeBackend
        readonly property var fabric: [{ version: "0.16.10", label: "0.16.10" }, { version: "0.16.9", label: "0.16.9" }]

        function part(name) {
            const found = findChild(dialog.contentItem, name) || findChild(dialog.footer, name);
            verify(found, name);
            return found;
        }

        function show() {
            dialog.open();
            tryCompare(dialog, "opened", true);
        }

        function commits() {
            return backend.callsOf("updateCustomBuild");
        }

        name: "BuildsDialog"
        when: windowShown

        function init() {
            backend.reset();
            backend.builds = [{ name: "Vanilla", minecraftVersion: "1.20.1" },
                              { name: "Modded", serverUrl: "mc.example:25565", minecraftVersion: "1.21",
                                loader: "fabric", loaderVersion: "0.14.0" }];
            backend.activeBuildIndex = 1;
            backend.loaderLists = { "fabric/1.21": fabric, "fabric/1.20.1": fabric };
        }

        function cleanup() {
            for (const popup of [findChild(dialog, "removeConfirm"), findChild(dialog, "versionPicker"), dialog])
                popup.close();
            tryCompare(dialog, "visible", false);
        }

        // Opening shows the active build as stored; the loader row takes the first
        // listed version in place of one the list lacks, but nothing is written.
        function test_openingCommitsNothing() {
            show();
            compare([dialog.editIndex, part("bdName").text, part("bdServer").text, part("versionText").text],
                    [1, "Modded", "mc.example:25565", "1.21"]);
            compare([part("bdFabric").checked, part("bdFabric").selectedVersion, part("bdForge").checked],
                    [true, "0.16.10", false]);
            compare(commits(), []);
            compare(backend.callsOf("refreshVersionCatalog"), [[]]);
            compare([part("makeActiveButton").enabled, part("installButton").enabled], [false, true]);
            // A stale active index still opens on the first build.
            dialog.close();
            backend.activeBuildIndex = -1;
            show();
            compare([dialog.editIndex, part("bdName").text, part("bdFabric").checked], [0, "Vanilla", false]);
            compare(commits(), []);
        }

        function test_noBuilds() {
            backend.builds = [];
            backend.activeBuildIndex = -1;
            show();
            compare([dialog.editIndex, part("editor").enabled, part("editor").opacity], [-1, false, 0.4]);
            compare([part("installButton").enabled, part("makeActiveButton").enabled], [false, false]);
            mouseClick(part("addBuildRow"));
            compare([backend.customBuildNames, dialog.editIndex, part("bdName").text], [["Build 1"], 0, "Build 1"]);
        }

        function test_fieldsCommitOnce() {
            show();
            const name = findChild(part("bdName"), "field");
            name.forceActiveFocus();
            name.text = "  Renamed ";
            keyClick(Qt.Key_Return);
            const server = findChild(part("bdServer"), "field");
            server.forceActiveFocus();
            server.text = "play.example ";
            keyClick(Qt.Key_Enter);
            name.forceActiveFocus();
            compare(commits(), [[1, { name: "  Renamed " }], [1, { serverUrl: "play.example " }]]);
            // The fields show what the backend stored.
            compare([backend.customBuildNames, name.text, server.text],
                    [["Vanilla", "Renamed"], "Renamed", "play.example"]);
        }

        // The build takes its new game version before the checked loader row looks
        // at the new list; picking the same version again writes nothing.
        function test_versionPick() {
            backend.loaderLists = { "fabric/1.20.4": [{ version: "0.15.0", label: "0.15.0" }] };
            show();
            const picker = findChild(dialog, "versionPicker");
            picker.versionChosen("1.20.4");
            compare(commits(), [[1, { minecraftVersion: "1.20.4" }],
                                [1, { loader: "fabric", loaderVersion: "0.15.0" }]]);
            picker.versionChosen("1.20.4");
            compare(commits().length, 2);
            mouseClick(part("bdMinecraft"));
            tryCompare(picker, "opened", true);
            compare(picker.selectedId, "1.20.4");
        }

        function test_exclusiveLoader() {
            backend.loaderLists = { "forge/1.21": [{ version: "51.0.1", label: "51.0.1" }] };
            show();
            mouseClick(findChild(part("bdForge"), "box"));
            compare(["bdForge", "bdFabric", "bdNeoForge", "bdQuilt"].map(name => part(name).checked),
                    [true, false, false, false]);
            // From the keyboard: a second click so soon would count as a double click.
            findChild(part("bdForge"), "box").forceActiveFocus();
            keyClick(Qt.Key_Space);
            // The fallback inside the check and the check itself each commit.
            const forge = { loader: "forge", loaderVersion: "51.0.1" };
            compare(commits(), [[1, forge], [1, forge], [1, { loader: "", loaderVersion: "" }]]);
        }

        function test_newBuildName() {
            backend.builds = [{ name: "Build 1" }, { name: "build 2" }, { name: "Build 3" }];
            show();
            mouseClick(part("addBuildRow"));
            compare(backend.callsOf("addNumberedBuild"), [[]]);
            compare([dialog.editIndex, part("bdName").text], [3, "Build 2"]);
        }

        function test_removeQuestion_data() {
            const t = Loc.t.build;
            const irreversible = "Build \"Modded\" will be removed and cannot be recovered.";
            return [
                { tag: "plain", removal: {}, lines: [irreversible] },
                { tag: "archive and active", removal: { hasArchive: true, active: true },
                  lines: [irreversible, t.warning.archiveGoesToo, t.warning.removingActive] },
                { tag: "last one", removal: { active: true, lastOne: true, hasArchive: "yes" },
                  lines: [irreversible, t.hint.removingLast] }
            ];
        }

        function test_removeQuestion(data) {
            backend.builds[1].removal = data.removal;
            show();
            dialog.askRemove(1);
            const question = findChild(dialog, "removeConfirm");
            tryCompare(question, "opened", true);
            const shown = Array.from(question.contentItem.children).filter(item => item.visible && item.text);
            compare(shown.map(item => item.text), data.lines);
            compare(shown.map(item => item.textFormat), data.lines.map(() => Text.PlainText));
        }

        // Remove takes the build asked for and selects the one now in its place;
        // a list that changed meanwhile makes it remove nothing.
        function test_removeFlow() {
            backend.builds = backend.builds.concat([{ name: "Third" }]);
            show();
            const question = findChild(dialog, "removeConfirm");
            dialog.askRemove(1);
            tryCompare(question, "opened", true);
            mouseClick(findChild(question.footer, "confirmRemove"));
            tryCompare(question, "visible", false);
            compare([backend.callsOf("removeCustomBuild"), question.buildIndex], [[[1]], -1]);
            compare([dialog.editIndex, part("bdName").text], [1, "Third"]);

            dialog.askRemove(1);
            tryCompare(question, "opened", true);
            backend.builds = [{ name: "Vanilla" }, { name: "Other" }];
            mouseClick(findChild(question.footer, "confirmRemove"));
            tryCompare(question, "visible", false);
            compare(backend.callsOf("removeCustomBuild"), [[1]]);

            dialog.askRemove(7);
            verify(!question.visible);
            dialog.performRemove(1);
            compare(dialog.editIndex, 0);
            dialog.performRemove(0);
            compare(dialog.editIndex, -1);
        }

        function test_makeActive() {
            backend.activeBuildIndex = 0;
            show();
            const button = part("makeActiveButton");
            verify(!button.enabled);
            const list = part("buildList");
            mouseClick(list.itemAtIndex(1), 20, 20);
            compare([dialog.editIndex, button.enabled], [1, true]);
            backend.busy = true;
            compare([button.enabled, button.opacity], [false, 0.45]);
            backend.busy = false;
            mouseClick(button);
            compare([backend.activeBuildIndex, button.enabled], [1, false]);
            // A switch dims the list and the editor and holds Close, not Escape.
            backend.switching = true;
            compare([part("listPane").enabled, part("editor").enabled, part("closeButton").enabled],
                    [false, false, false]);
            keyClick(Qt.Key_Escape);
            tryCompare(dialog, "visible", false);
        }

        function test_readiness_data() {
            return [
                { tag: "ready", problems: [], text: "Ready to launch", color: "#8fbf5a" },
                { tag: "missing", problems: ["/g/versions/1.21/1.21.jar", "/g/libraries/a.jar"],
                  text: "Files are missing (2): /g/versions/1.21/1.21.jar", color: "#cc6666" }
            ];
        }

        function test_readiness(data) {
            backend.problems = ["not yet"];
            show();
            const status = part("bdStatus");
            compare(status.text, "Files are missing (1): not yet");
            backend.problems = data.problems;
            backend.installedVersionsChanged();
            compare([status.text, status.color], [data.text, Qt.color(data.color)]);
        }

        // The version box's hover border goes with the pointer, also when the
        // picker it opened has been over it.
        function test_versionBoxHoverEndsAfterThePicker() {
            backend.versionCatalog = [{ id: "1.20.1", category: "release", installed: true,
                                        search: "1.20.1", label: "1.20.1" }];
            show();
            const box = part("bdMinecraft");
            mouseMove(box, 20, 10);
            tryCompare(box.border, "color", Qt.color("#91B315"));
            mouseClick(box, 20, 10);
            const picker = findChild(dialog, "versionPicker");
            tryCompare(picker, "opened", true);
            mouseMove(picker.contentItem, 10, 10);
            keyClick(Qt.Key_Escape);
            tryCompare(picker, "visible", false);
            mouseMove(part("bdStatus"), 5, 5);
            tryCompare(box.border, "color", Qt.color("#444444"));
        }
    }
}
