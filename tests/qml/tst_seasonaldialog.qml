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

    SeasonalBuildsDialog {
        id: dialog

        backend: fakeBackend
    }

    TestCase {
        readonly property var backend: fakeBackend
        readonly property var autumn: ({
            id: "autumn", name: "<b>Autumn</b>", minecraftVersion: "1.21", loader: "fabric",
            loaderTitle: "Fabric Loader", loaderVersion: "0.16.9", modCount: 142, seasonStart: "01.09.2024",
            seasonEnd: "—", sizeBytes: 257638400, revision: 3, description: "Leaves & <i>quests</i>",
            serverUrl: "", installed: true, installedRevision: 2, updateAvailable: true,
            status: "Update available"
        })
        readonly property var spring: ({
            id: "spring", name: "Spring", minecraftVersion: "1.20.1", loader: "", loaderTitle: "Vanilla",
            loaderVersion: "", modCount: 0, seasonStart: "01.03.2024", seasonEnd: "31.05.2024",
            sizeBytes: 0, revision: 1, description: "", serverUrl: "spring.example:25565",
            installed: false, installedRevision: 0, updateAvailable: false, status: "Not installed"
        })

        function part(name) {
            const found = findChild(dialog.contentItem, name) || findChild(dialog.footer, name);
            verify(found, name);
            return found;
        }

        function rowCells(index) {
            const item = part("entryList").itemAtIndex(index);
            return Array.from(item.children[0].children).filter(cell => cell.text !== undefined);
        }

        name: "SeasonalDialog"
        when: windowShown

        function init() {
            backend.reset();
            dialog.selectedId = "";
        }

        function cleanup() {
            dialog.close();
            tryCompare(dialog, "visible", false);
        }

        function test_formatMb() {
            compare([undefined, 0, -5, 1048576, 257638400].map(dialog.formatMb), ["", "", "", "1.0", "245.7"]);
        }

        function test_cellText() {
            compare(["name", "loaderLabel", "modCount", "seasonEnd"].map(key => dialog.cellText(autumn, key)),
                    ["<b>Autumn</b>", "Fabric Loader 0.16.9", "142", "—"]);
            compare(dialog.cellText(spring, "loaderLabel"), "Vanilla");
        }

        function test_rowsAndDetails() {
            backend.seasonalCatalog = [autumn, spring];
            dialog.openCatalog();
            tryCompare(dialog, "opened", true);
            compare(backend.callsOf("refreshSeasonalCatalog"), [[false]]);
            compare([part("messageText").visible, part("detailLine").text, part("installButton").enabled],
                    [false, "Pick a build from the list", false]);
            const list = part("entryList");
            tryVerify(() => list.itemAtIndex(1) !== null);
            const cells = rowCells(0);
            compare(cells.map(cell => cell.text),
                    ["<b>Autumn</b>", "1.21", "Fabric Loader 0.16.9", "142", "01.09.2024", "—", "Update available"]);
            compare([cells[0].textFormat, cells[3].horizontalAlignment, cells[6].color, cells[0].color],
                    [Text.PlainText, Text.AlignRight, Qt.color("#91B315"), Qt.color("#ffffff")]);

            mouseClick(list.itemAtIndex(0), 30, 18);
            compare([part("descriptionLine").text, part("descriptionLine").textFormat],
                    ["Leaves & <i>quests</i>", Text.PlainText]);
            compare(part("detailLine").text, "Revision 3 · 245.7 MB · revision 2 installed");
            compare([part("installButton").text, rowCells(0)[6].color], ["Update", Qt.color("#1e1e1e")]);
            mouseClick(list.itemAtIndex(1), 30, 18);
            compare([part("detailLine").text, part("installButton").text],
                    ["Revision 1 · spring.example:25565", "Install"]);

            // The selection follows the id through a new order, and survives its absence.
            backend.seasonalCatalog = [spring, autumn];
            compare(dialog.selectedEntry.id, "spring");
            backend.seasonalCatalog = [autumn];
            compare([dialog.selectedEntry, dialog.selectedId, part("installButton").enabled], [null, "spring", false]);
        }

        // A text cut by its column shows whole where the pointer rests on it, as
        // typed; one that fits shows nothing more, and the row stays lit.
        function test_wholeTextOfCutCells() {
            const longName = "<b>Autumn</b> season of the northern realms and the southern seas";
            backend.seasonalCatalog = [Object.assign({}, autumn, { name: longName })];
            dialog.openCatalog();
            tryCompare(dialog, "opened", true);
            const list = part("entryList");
            tryVerify(() => list.itemAtIndex(0) !== null);
            const name = rowCells(0)[0];
            const version = rowCells(0)[1];
            compare([name.truncated, version.truncated], [true, false]);
            mouseMove(name, 20, 18);
            const tip = findChild(name, "wholeText");
            tryVerify(() => tip.item !== null && tip.item.visible);
            compare([tip.item.text, tip.item.contentItem.textFormat], [longName, Text.PlainText]);
            compare(list.itemAtIndex(0).color, Qt.color("#2d2d2d"));
            mouseMove(version, 20, 18);
            tryVerify(() => tip.item === null);
            compare(findChild(version, "wholeText").item, null);
        }

        function test_install() {
            backend.seasonalCatalog = [autumn];
            dialog.openCatalog();
            tryCompare(dialog, "opened", true);
            const list = part("entryList");
            tryVerify(() => list.itemAtIndex(0) !== null);
            backend.busy = true;
            mouseDoubleClickSequence(list.itemAtIndex(0), 30, 18);
            compare([dialog.selectedId, part("installButton").enabled, part("installButton").contentItem.color],
                    ["autumn", false, Qt.color("#888888")]);
            backend.busy = false;
            mouseClick(part("installButton"));
            mouseDoubleClickSequence(list.itemAtIndex(0), 30, 18);
            compare(backend.callsOf("installSeasonalBuild"), [["autumn"], ["autumn"]]);
            verify(dialog.visible);
            mouseClick(part("refreshButton"));
            compare(backend.callsOf("refreshSeasonalCatalog"), [[false], [true]]);
        }

        function test_messages_data() {
            return [
                { tag: "empty", text: "There are no builds yet", color: "#888888" },
                { tag: "loading", loading: true, text: "Loading the build list…", color: "#888888" },
                { tag: "loading after a failure", loading: true, error: "Could not fetch the build list: 404",
                  text: "Loading the build list…", color: "#cc6666" },
                { tag: "error", error: "No build server address is set", text: "No build server address is set",
                  color: "#cc6666" }
            ];
        }

        function test_messages(data) {
            backend.seasonalCatalogLoading = data.loading === true;
            backend.seasonalCatalogError = data.error || "";
            dialog.openCatalog();
            tryCompare(dialog, "opened", true);
            const message = part("messageText");
            compare([message.visible, message.text, message.color], [true, data.text, Qt.color(data.color)]);
            const refresh = part("refreshButton");
            compare([refresh.enabled, refresh.text], data.loading ? [false, "Updating…"] : [true, "Refresh list"]);
        }

        function test_closeWhileSwitching() {
            backend.switching = true;
            dialog.openCatalog();
            tryCompare(dialog, "opened", true);
            compare([part("closeButton").enabled, part("closeButton").opacity], [false, 0.45]);
            keyClick(Qt.Key_Escape);
            tryCompare(dialog, "visible", false);
        }
    }
}
