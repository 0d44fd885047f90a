import QtQuick
import QtTest
import Hollowmere
import "doubles"

Item {
    id: root

    width: 400
    height: 300

    BackendDouble {
        id: fakeBackend
    }

    Component {
        id: rowComponent

        LoaderRow {
            width: 300
            backend: fakeBackend
            loaderKey: "fabric"
            title: "Fabric Loader"
        }
    }

    TestCase {
        readonly property var backend: fakeBackend
        id: test

        readonly property var list: [{ version: "0.16.10", label: "0.16.10 — recommended" },
                                     { version: "0.16.9", label: "0.16.9" }]
        property var row: null
        property var reports: []

        function makeRow(gameVersion) {
            row = createTemporaryObject(rowComponent, root, { gameVersion: gameVersion });
            reports = [];
            row.changed.connect(() => reports.push("changed"));
            row.userChecked.connect(() => reports.push("userChecked"));
            return row;
        }

        function arrive(list, key, game) {
            backend.loaderLists = { [(key || "fabric") + "/" + (game || "1.21")]: list };
            backend.loaderVersionsChanged(key || "fabric", game || "1.21");
        }

        // What the drop-down does when the user picks an item.
        function pick(index) {
            const combo = findChild(row, "combo");
            if (index < combo.count)
                combo.currentIndex = index;
            combo.activated(index);
        }

        function state() {
            const combo = findChild(row, "combo");
            return [row.checked, row.selectedVersion, combo.visible, combo.currentIndex, reports.join()];
        }

        name: "LoaderRow"
        when: windowShown

        function init() {
            backend.reset();
        }

        // A stored build shown in the row never reports, whatever the list knows.
        function test_applyBuild_data() {
            return [
                { tag: "stored version listed", lists: true, stored: "0.16.9",
                  state: [true, "0.16.9", true, 1, ""] },
                { tag: "stored version not listed", lists: true, stored: "0.14.0",
                  state: [true, "0.16.10", true, 0, ""] },
                { tag: "no list yet", lists: false, stored: "0.16.9", state: [true, "0.16.9", false, -1, ""] },
                { tag: "other loader", lists: true, loader: "forge", stored: "47.1",
                  state: [false, "", false, -1, ""] }
            ];
        }

        function test_applyBuild(data) {
            if (data.lists)
                backend.loaderLists = { "fabric/1.21": list };
            makeRow("1.21").applyBuild(data.loader || "fabric", data.stored);
            compare(state(), data.state);
            compare(backend.callsOf("refreshLoaderVersions"),
                    data.state[0] ? [["fabric", "1.21"]] : []);
        }

        // The list arrives after the build was shown: the stored version stays when
        // the list holds it, else the first one is taken and reported once.
        function test_lateList_data() {
            return [
                { tag: "holds it", stored: "0.16.9", list: list, state: [true, "0.16.9", true, 1, ""] },
                { tag: "lacks it", stored: "0.14.0", list: list, state: [true, "0.16.10", true, 0, "changed"] },
                { tag: "empty", stored: "0.16.9", list: [], state: [true, "0.16.9", false, -1, ""] },
                { tag: "unchecked row", loader: "forge", list: list, state: [false, "", false, -1, ""] }
            ];
        }

        function test_lateList(data) {
            makeRow("1.21").applyBuild(data.loader || "fabric", data.stored || "");
            arrive(data.list);
            compare(state(), data.state);
            // Notices for another loader or game version change nothing.
            arrive([{ version: "x", label: "x" }], "quilt");
            arrive([{ version: "y", label: "y" }], "fabric", "1.20");
            compare(state(), data.state);
        }

        // A list that the backend hands over while the build is being shown (a
        // cache read inside the refresh) is taken without a report.
        function test_listDuringApply() {
            backend.cachedLoaderLists = { "fabric/1.21": list };
            makeRow("1.21").applyBuild("fabric", "0.14.0");
            compare(state(), [true, "0.16.10", true, 0, ""]);
        }

        function test_emptyGameVersion() {
            backend.loaderLists = { "fabric/": list };
            makeRow("").applyBuild("fabric", "0.16.9");
            verify(!findChild(row, "box").enabled);
            compare(state(), [true, "", false, -1, ""]);
            compare(backend.callsOf("refreshLoaderVersions"), []);
        }

        function test_userActions() {
            backend.loaderLists = { "fabric/1.21": list, "fabric/1.20": [list[1]] };
            makeRow("1.21");
            // Checking with a known list reports the fallback and the toggle.
            mouseClick(findChild(row, "box"));
            compare(state(), [true, "0.16.10", true, 0, "userChecked,changed,changed"]);
            reports = [];
            pick(1);
            pick(1);
            pick(5);
            compare(state(), [true, "0.16.9", true, 1, "changed,changed"]);
            // Another game version takes the first of its list and says so.
            reports = [];
            row.gameVersion = "1.20";
            compare(state(), [true, "0.16.9", true, 0, "changed"]);
            reports = [];
            // From the keyboard: a second click so soon would count as a double click.
            findChild(row, "box").forceActiveFocus();
            keyClick(Qt.Key_Space);
            compare(state(), [false, "", false, -1, "changed"]);
            compare(row.entries, []);
        }

        // "Does not support" needs a list that arrived; without one the row blames the list.
        function test_hint_data() {
            return [{ tag: "loading", loading: true, lists: {},
                      text: "Loading the Fabric Loader version list…", color: "#888888" },
                    { tag: "unsupported", loading: false, lists: { "fabric/1.21": [] },
                      text: "Fabric Loader does not support Minecraft 1.21", color: "#cc6666" },
                    { tag: "other game version only", loading: false, lists: { "fabric/1.20.1": list },
                      text: "The Fabric Loader version list could not be loaded", color: "#cc6666" },
                    { tag: "not loaded", loading: false, lists: {},
                      text: "The Fabric Loader version list could not be loaded", color: "#cc6666" }];
        }

        function test_hint(data) {
            makeRow("1.21").applyBuild("fabric", "0.16.9");
            const hint = findChild(row, "hint");
            backend.loaderLists = data.lists;
            backend.loadingLists = data.loading ? ["fabric/1.21"] : [];
            backend.downloadChanged();
            compare([hint.visible, hint.text, hint.color], [true, data.text, Qt.color(data.color)]);
            // The stored version stays while no list says otherwise.
            compare([row.selectedVersion, reports.join()], ["0.16.9", ""]);
        }
    }
}
