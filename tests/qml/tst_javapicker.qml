import QtQuick
import QtTest
import Hollowmere
import "doubles"

// The Java runtime picker over a backend double with a small catalog.
Item {
    id: root

    width: 900
    height: 600

    BackendDouble {
        id: backend
    }

    JavaPickerDialog {
        id: picker

        backend: backend
    }

    SignalSpy {
        id: chosen

        target: picker
        signalName: "runtimeChosen"
    }

    TestCase {
        name: "JavaPicker"
        when: windowShown

        function row(id, kind, major, installed, extra) {
            return Object.assign({ id: id, kind: kind, major: major, version: major + ".0.1",
                                   label: "Java " + major + ".0.1", detail: "Mojang · " + id,
                                   coverage: "range " + major, sizeMb: 0, installed: installed,
                                   lts: false, downloadable: true,
                                   search: [major + ".0.1", major, kind, "mojang · " + id].join(" ") },
                                 extra);
        }

        readonly property var catalog: [
            row("gamma", "java", 21, true, { lts: true }),
            row("legacy", "java", 8, false, { sizeMb: 40 }),
            row("temurin-17", "jdk", 17, false, { sizeMb: 180 }),
            row("old-jre", "jre", 0, true, { coverage: "", downloadable: false })
        ]

        function item(name) {
            const found = findChild(picker.contentItem, name) || findChild(picker.footer, name);
            verify(found, name);
            return found;
        }

        function chosenIds() {
            return chosen.signalArguments.map(args => args[0]);
        }

        function shownIds() {
            return picker.visibleEntries.map(entry => entry.id);
        }

        function rowItem(id) {
            const list = item("runtimeList");
            const index = picker.visibleEntries.findIndex(entry => entry.id === id);
            tryVerify(() => list.itemAtIndex(index) !== null);
            return list.itemAtIndex(index);
        }

        function openOn(id, required) {
            picker.openFor(id, required);
            tryCompare(picker, "opened", true);
            tryVerify(() => item("searchField").activeFocus);
        }

        function init() {
            backend.reset();
            backend.javaCatalog = catalog;
            chosen.clear();
        }

        function cleanup() {
            picker.close();
            picker.installedOnly = false;
            tryCompare(picker, "visible", false);
        }

        // Nothing chosen: grey footer, a disabled button, and Return does nothing.
        function test_noChoice_data() {
            return [{ tag: "empty id", id: "" }, { tag: "unknown id", id: "nowhere" }];
        }

        function test_noChoice(data) {
            openOn(data.id, 0);
            compare([picker.category, picker.selectedId, picker.selectedEntry], ["java", data.id, null]);
            compare(backend.callsOf("refreshJavaCatalog"), [[]]);
            compare([item("footerStatus").text, item("footerStatus").color],
                    [Loc.t.common.status.noBuildSelected, Qt.color("#666666")]);
            verify(!item("acceptButton").enabled);
            keyClick(Qt.Key_Return);
            compare([chosen.count, picker.opened], [0, true]);
        }

        // The category follows the chosen runtime; the search is trimmed, in
        // lower case and contiguous; the empty list says why.
        function test_filters() {
            openOn("temurin-17", 0);
            compare([picker.category, shownIds()], ["jdk", ["temurin-17"]]);
            mouseClick(item("category_java"));
            compare(shownIds(), ["gamma", "legacy"]);
            const search = item("searchField");
            search.text = "   ";
            compare(shownIds(), ["gamma", "legacy"]);
            search.text = " 21 JAVA ";
            compare(shownIds(), ["gamma"]);
            search.text = "java 21";
            compare(shownIds(), []);
            const empty = item("emptyState");
            compare([empty.visible, empty.text], [true, Loc.t.common.status.nothingFound]);
            backend.javaCatalogLoading = true;
            compare(empty.text, Loc.t.java.progress.loadingCatalog);
            backend.javaCatalogLoading = false;
            backend.javaCatalog = [];
            compare(empty.text, Loc.t.java.error.catalogUnavailable);
            backend.javaCatalog = catalog;
            search.text = "";
            mouseClick(item("installedOnlyBox"));
            compare([picker.installedOnly, shownIds(), empty.visible], [true, ["gamma"], false]);
        }

        // A chosen row hidden by the filter stays chosen and is still handed
        // out, with its download asked for after the choice.
        function test_hiddenChoiceIsAccepted() {
            openOn("legacy", 0);
            mouseClick(item("installedOnlyBox"));
            compare(shownIds(), ["gamma"]);
            compare(item("footerStatus").text, "Java 8.0.1 — will be downloaded");
            compare(item("acceptButton").contentItem.text, Loc.t.common.button.download);
            keyClick(Qt.Key_Enter);
            compare(chosenIds(), ["legacy"]);
            compare(backend.callsOf("installJavaRuntime"), [["legacy"]]);
            tryCompare(picker, "visible", false);
            // The box keeps its state for the next opening.
            openOn("", 0);
            verify(picker.installedOnly);
        }

        function test_acceptInstalled() {
            openOn("", 0);
            // With no visible selection Down takes the first row, Up goes back nowhere.
            keyClick(Qt.Key_Down);
            compare(picker.selectedId, "gamma");
            keyClick(Qt.Key_Down);
            keyClick(Qt.Key_Down);
            compare(picker.selectedId, "legacy");
            keyClick(Qt.Key_Up);
            compare(picker.selectedId, "gamma");
            compare(item("acceptButton").contentItem.text, Loc.t.common.button.select);
            compare(item("footerStatus").text, "Java 21.0.1");
            mouseDoubleClickSequence(rowItem("gamma"), 20, 20);
            compare(chosenIds(), ["gamma"]);
            compare(backend.callsOf("installJavaRuntime"), []);
            tryCompare(picker, "visible", false);
        }

        // Rows below the build's minimum are marked, and only while it is known.
        function test_tooOld_data() {
            return [{ tag: "needs 17", required: 17, hint: true,
                      legacy: "Mojang · legacy · range 8 · 40 MB · " + Loc.t.java.warning.tooOldForVersion,
                      color: "#aa7777" },
                    { tag: "unknown", required: 0, hint: false,
                      legacy: "Mojang · legacy · range 8 · 40 MB", color: "#888888" }];
        }

        function test_tooOld(data) {
            openOn("", data.required);
            const hint = item("requiredHint");
            compare(hint.visible, data.hint);
            if (data.hint)
                compare(hint.text, "The selected game version needs Java 17 or newer");
            const legacy = findChild(rowItem("legacy"), "detailLine");
            compare([legacy.text, legacy.color], [data.legacy, Qt.color(data.color)]);
            compare(findChild(rowItem("gamma"), "detailLine").color, Qt.color("#888888"));
            // An empty coverage keeps its place between the separators.
            mouseClick(item("category_jre"));
            compare(findChild(rowItem("old-jre"), "detailLine").text,
                    "Mojang · old-jre · " + (data.hint ? " · " + Loc.t.java.warning.tooOldForVersion : ""));
        }

        // A detail line cut at the row's end, too-old note included, shows whole
        // where the pointer rests on it; the row is lit only in its click area.
        function test_wholeDetailOfCutRows() {
            backend.javaCatalog = catalog.concat([row("legacy-long", "java", 8, false, {
                sizeMb: 40, detail: "Mojang · jre-legacy, the runtime of the oldest releases of the game" })]);
            openOn("", 17);
            const line = findChild(rowItem("legacy-long"), "detailLine");
            verify(line.truncated);
            verify(line.text.endsWith(Loc.t.java.warning.tooOldForVersion));
            mouseMove(line, 20, 5);
            const tip = findChild(line, "wholeText");
            tryVerify(() => tip.item !== null && tip.item.visible);
            compare(tip.item.text, line.text);
            compare(rowItem("legacy-long").color, Qt.color("#2d2d2d"));
            mouseMove(rowItem("legacy-long"), rowItem("legacy-long").width - 20, 22);
            tryVerify(() => tip.item === null);
            compare(rowItem("legacy-long").color, Qt.color("transparent"));
            const fitting = findChild(rowItem("gamma"), "detailLine");
            verify(!fitting.truncated);
            mouseMove(fitting, 20, 5);
            compare(findChild(fitting, "wholeText").item, null);
        }

        // Sizes come as plain numbers of any magnitude and are shown whole.
        function test_largeSizeShownWhole() {
            compare(picker.detailLine({ detail: "Temurin · x64", coverage: "21+", sizeMb: 2147483653 }),
                    "Temurin · x64 · 21+ · " + Loc.t.common.status.megabytes.arg("2147483653"));
        }

        function test_removalClearsTheChoice() {
            openOn("gamma", 0);
            const trash = findChild(rowItem("gamma"), "trash");
            verify(trash.visible);
            verify(!findChild(rowItem("legacy"), "trash").visible);
            mouseClick(trash);
            compare(backend.callsOf("removeJavaRuntime"), [["gamma"]]);
            compare([picker.selectedId, item("footerStatus").text, item("acceptButton").enabled],
                    ["", Loc.t.common.status.noBuildSelected, false]);
            verify(picker.opened);
        }
    }
}
