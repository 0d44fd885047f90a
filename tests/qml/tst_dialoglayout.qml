import QtQuick
import QtTest
import Hollowmere
import "doubles"

// Every dialog in a small window: it lies inside the window, and each of its
// footer buttons lies whole inside the dialog with its text uncut. The
// seasonal table keeps its Status column whole and its columns inside the rows.
Item {
    MainWindowCase {
        readonly property var season: ({
            id: "autumn", name: "Autumn season of the northern realms and the southern seas", minecraftVersion: "1.21.1",
            loaderTitle: "Fabric Loader", loaderVersion: "0.16.5", modCount: 143,
            seasonStart: "01.09.2024", seasonEnd: "—", sizeBytes: 257638400, revision: 3,
            description: "Falling leaves", serverUrl: "", installedRevision: 2, updateAvailable: true,
            status: "Доступно обновление"
        })

        name: "DialogLayout"

        function inWindow(item) {
            const at = item.mapToItem(window.contentItem, 0, 0);
            return Qt.rect(at.x, at.y, item.width, item.height);
        }

        function inside(inner, outer) {
            return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.width <= outer.x + outer.width
                    && inner.y + inner.height <= outer.y + outer.height;
        }

        // The visible buttons under item: whatever has a click signal and a text.
        function buttons(item) {
            let found = [];
            for (const child of Array.from(item.children)) {
                if (!child.visible)
                    continue;
                if (typeof child.clicked === "function" && child.text !== undefined)
                    found.push(child);
                found = found.concat(buttons(child));
            }
            return found;
        }

        function builds() {
            window.openBuilds();
            return window.buildsDialog;
        }

        function test_dialogs_data() {
            const hosted = () => window.dialogs();
            const sizes = [{ width: 800, height: 600 }, { width: window.minimumWidth, height: window.minimumHeight }];
            const openers = [
                { tag: "builds", open: builds },
                { tag: "version picker", open: () => {
                        builds();
                        const picker = findChild(window.buildsDialog, "versionPicker");
                        picker.openFor("");
                        return picker;
                    } },
                { tag: "remove question", open: () => {
                        builds().askRemove(0);
                        return findChild(window.buildsDialog, "removeConfirm");
                    } },
                { tag: "seasonal", open: () => { window.openSeasonal(); return window.seasonalDialog; } },
                { tag: "settings", open: () => { hosted().settings.load(); return hosted().settings; } },
                { tag: "add profile", open: () => { hosted().addProfile.open(); return hosted().addProfile; } },
                { tag: "edit profile", open: () => {
                        hosted().editProfile.openFor(0);
                        return hosted().editProfile;
                    } },
                { tag: "two-factor", open: () => { backend.twoFactorRequired("Alex"); return hosted().twoFactor; } },
                { tag: "java picker", open: () => { hosted().javaPicker.openFor("", 0); return hosted().javaPicker; } },
                { tag: "launcher versions", open: () => { hosted().versions.open(); return hosted().versions; } }
            ];
            const rows = [];
            for (const size of sizes) {
                for (const opener of openers)
                    rows.push({ tag: opener.tag + " " + size.width + "×" + size.height, open: opener.open,
                                width: size.width, height: size.height });
            }
            return rows;
        }

        function test_dialogs(data) {
            backend.builds = [{ name: "A build with a name long enough to be cut", minecraftVersion: "1.21" }];
            backend.activeBuildIndex = 0;
            backend.profiles = [{ name: "Alex", authType: "microsoft" }];
            backend.seasonalCatalog = [season];
            window.width = data.width;
            window.height = data.height;
            tryCompare(window.contentItem, "height", data.height);
            const dialog = data.open();
            tryCompare(dialog, "opened", true);
            const frame = inWindow(dialog.background);
            verify(inside(frame, Qt.rect(0, 0, data.width, data.height)), JSON.stringify(frame));
            const footerButtons = buttons(dialog.footer);
            verify(footerButtons.length >= 1);
            for (const button of footerButtons) {
                verify(inside(inWindow(button), frame), button.objectName);
                verify(!button.contentItem.truncated, button.objectName);
            }
            for (const popup of [dialog, window.buildsDialog]) {
                if (popup)
                    popup.close();
            }
            tryVerify(() => !dialog.visible);
        }

        // The table's columns end inside its rows; a Name cut short shows whole in
        // a tool tip, the Status never is cut.
        function test_seasonalTable_data() {
            return [{ tag: "opening size", width: 1280 }, { tag: "800 wide", width: 800 }];
        }

        function test_seasonalTable(data) {
            backend.seasonalCatalog = [season, Object.assign({}, season, { id: "spring", status: "Not installed" })];
            window.width = data.width;
            tryCompare(window.contentItem, "width", data.width);
            window.openSeasonal();
            const dialog = window.seasonalDialog;
            tryCompare(dialog, "opened", true);
            const list = findChild(dialog.contentItem, "entryList");
            tryVerify(() => list.itemAtIndex(1) !== null);
            const cells = Array.from(list.itemAtIndex(0).children[0].children).filter(cell => cell.text !== undefined);
            const last = cells[cells.length - 1];
            tryVerify(() => last.mapToItem(list, last.width, 0).x <= list.width);
            compare([cells[0].truncated, last.text, last.truncated], [true, "Доступно обновление", false]);
            verify(cells[0].width >= 120, JSON.stringify([dialog.shownWidths, cells.map(cell => cell.width)]));
            const header = findChild(dialog.contentItem, "headerRow");
            compare(Array.from(header.children).find(cell => cell.text !== undefined).width, cells[0].width);
            dialog.close();
            tryCompare(dialog, "visible", false);
        }
    }
}
