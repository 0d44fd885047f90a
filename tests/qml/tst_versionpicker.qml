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

    VersionPickerDialog {
        id: picker

        backend: fakeBackend
    }

    SignalSpy {
        id: chosen

        target: picker
        signalName: "versionChosen"
    }

    TestCase {
        readonly property var backend: fakeBackend
        function row(id, type, installed) {
            const category = ["release", "snapshot", "old_beta", "old_alpha"].includes(type) ? type : "other";
            return { id: id, type: type, category: category, label: id, installed: installed === true,
                     search: (id + " " + type).toLowerCase() };
        }

        function part(name) {
            const found = findChild(picker.contentItem, name) || findChild(picker.footer, name);
            verify(found, name);
            return found;
        }

        function chosenIds() {
            return chosen.signalArguments.map(args => args[0]);
        }

        function ids() {
            return picker.visibleEntries.map(entry => entry.id);
        }

        function openAt(versionId) {
            picker.openFor(versionId);
            tryCompare(picker, "opened", true);
            tryVerify(() => part("searchField").activeFocus);
        }

        name: "VersionPicker"
        when: windowShown

        function init() {
            backend.reset();
            backend.versionCatalog = [row("1.21", "release", true), row("24w14a", "snapshot"),
                                      row("1.20.4", "release"), row("1.20.1", "release", true),
                                      row("b1.7.3", "old_beta"), row("fabric-loader-0.16-1.21", "", true)];
            picker.installedOnly = false;
            chosen.clear();
        }

        function cleanup() {
            findChild(picker, "removeConfirm").close();
            picker.close();
            tryCompare(picker, "visible", false);
        }

        function test_filtering_data() {
            return [
                { tag: "category", category: "release", ids: ["1.21", "1.20.4", "1.20.1"] },
                { tag: "blanks and capitals", category: "release", query: "  1.20 ", ids: ["1.20.4", "1.20.1"] },
                { tag: "type matches", category: "snapshot", query: "SNAPSHOT", ids: ["24w14a"] },
                { tag: "installed only", category: "release", installedOnly: true, ids: ["1.21", "1.20.1"] },
                { tag: "other", category: "other", ids: ["fabric-loader-0.16-1.21"] },
                { tag: "nothing", category: "old_alpha", ids: [], empty: "Nothing found" }
            ];
        }

        function test_filtering(data) {
            openAt("");
            picker.category = data.category;
            picker.installedOnly = data.installedOnly === true;
            part("searchField").text = data.query || "";
            compare(ids(), data.ids);
            compare(part("emptyText").visible, data.ids.length === 0);
            if (data.empty)
                compare(part("emptyText").text, data.empty);
        }

        function test_emptyTexts() {
            backend.versionCatalog = [];
            backend.catalogLoading = true;
            openAt("1.21");
            compare([picker.category, part("emptyText").text], ["release", "Loading the version list…"]);
            backend.catalogLoading = false;
            compare(part("emptyText").text, Loc.t.version.error.listUnreachable);
        }

        // Opening resets everything but the installed-only box, takes the category of
        // the version and asks for the catalog without forcing it.
        function test_openFor() {
            picker.installedOnly = true;
            picker.category = "other";
            part("searchField").text = "zzz";
            openAt("24w14a");
            compare([picker.category, part("searchField").text, picker.installedOnly, ids()],
                    ["snapshot", "", true, []]);
            compare(backend.callsOf("refreshVersionCatalog"), [[]]);
            // Hidden by the box, still selected and still returned.
            compare([part("selectionLine").text, part("selectButton").enabled], ["24w14a", true]);
            keyClick(Qt.Key_Return);
            compare(chosenIds(), ["24w14a"]);
            verify(!picker.visible);

            openAt("");
            compare([part("selectionLine").text, part("selectButton").enabled, part("selectButton").opacity],
                    [Loc.t.version.status.notSelected, false, 0.45]);
            keyClick(Qt.Key_Return);
            verify(picker.visible);
            openAt("unknown-id");
            compare([picker.category, part("selectionLine").text], ["release", "unknown-id"]);
        }

        function test_keyboard() {
            openAt("1.20.4");
            const list = part("versionList");
            compare(list.currentIndex, 1);
            keyClick(Qt.Key_Up);
            keyClick(Qt.Key_Up);
            compare([picker.selectedId, list.currentIndex], ["1.21", 0]);
            keyClick(Qt.Key_Down);
            keyClick(Qt.Key_Down);
            keyClick(Qt.Key_Down);
            compare([picker.selectedId, list.currentIndex], ["1.20.1", 2]);
            // A search keeps the selection; with it filtered out there is no cursor,
            // and Down takes the first visible row.
            keyClick("4");
            compare([list.currentIndex, picker.selectedId], [-1, "1.20.1"]);
            keyClick(Qt.Key_Down);
            compare(picker.selectedId, "1.20.4");
            keyClick(Qt.Key_Enter);
            compare(chosenIds(), ["1.20.4"]);
            openAt("1.21");
            keyClick(Qt.Key_Escape);
            tryCompare(picker, "visible", false);
            compare(chosen.count, 1);
        }

        // Ticking the installed-only box leaves the keys with the search field.
        function test_boxLeavesTheKeys() {
            openAt("");
            mouseClick(part("installedOnlyBox"));
            verify(part("searchField").activeFocus);
            keyClick(Qt.Key_Down);
            compare(picker.selectedId, "1.21");
        }

        function test_pointer() {
            openAt("");
            const list = part("versionList");
            tryVerify(() => list.itemAtIndex(2) !== null);
            mouseClick(list.itemAtIndex(2), 20, 16);
            compare([picker.selectedId, list.currentIndex], ["1.20.1", 2]);
            // The marks' corner never selects; the icon asks about removal.
            backend.removalInfos = { "1.21": { installed: true, sizeMb: 0 } };
            mouseClick(list.itemAtIndex(0), list.width - 18, 16);
            compare(picker.selectedId, "1.20.1");
            tryCompare(findChild(picker, "removeConfirm"), "opened", true);
            findChild(picker, "removeConfirm").close();
            mouseClick(part("category_snapshot"));
            tryVerify(() => list.itemAtIndex(0) && list.itemAtIndex(0).modelData.id === "24w14a");
            mouseDoubleClickSequence(list.itemAtIndex(0), 20, 16);
            compare(chosenIds(), ["24w14a"]);
        }

        function test_removalQuestion_data() {
            const shared = Loc.t.version.hint.sharedFilesStay;
            return [
                { tag: "with size", info: { installed: true, sizeMb: 412, dependents: [], builds: [] },
                  lines: ["The files of version \"1.21\" will be deleted from versions/ — about 412 MB will be "
                          + "freed. You can download it again at any time.", shared] },
                { tag: "dependents", info: { installed: true, dependents: ["fabric-a", "forge-b"], builds: ["Modded"] },
                  lines: ["The files of version \"1.21\" will be deleted from versions/. You can download it again "
                          + "at any time.",
                          Loc.t.version.warning.loaderProfilesDepend.arg("fabric-a, forge-b"),
                          Loc.t.version.warning.buildsDepend.arg("Modded"), shared] },
                { tag: "not installed", info: { installed: "true" } }
            ];
        }

        function test_removalQuestion(data) {
            backend.removalInfos = { "1.21": data.info };
            openAt("1.21");
            picker.askRemove("1.21");
            const question = findChild(picker, "removeConfirm");
            if (!data.lines) {
                wait(50);
                verify(!question.visible);
                return;
            }
            tryCompare(question, "opened", true);
            compare(Array.from(question.contentItem.children).filter(item => item.visible && item.text).map(item => item.text),
                    data.lines);
            mouseClick(findChild(question.footer, "confirmRemove"));
            tryCompare(question, "visible", false);
            compare([backend.callsOf("removeVersion"), question.versionId, picker.visible], [[["1.21"]], "", true]);
        }

        // The selection clears only when the catalog no longer lists the version.
        function test_removeSelected() {
            openAt("fabric-loader-0.16-1.21");
            backend.versionCatalog = backend.versionCatalog.slice(0, 5);
            picker.performRemove("fabric-loader-0.16-1.21");
            compare(picker.selectedId, "");
            openAt("1.21");
            picker.performRemove("1.21");
            compare([picker.selectedId, part("versionList").currentIndex], ["1.21", 0]);
        }
    }
}
