import QtQuick
import QtTest
import Hollowmere
import "doubles"

// The launcher versions dialog of the window over the update model's double:
// which channel it shows and asks for, what it lets be installed.
Item {
    MainWindowCase {
        id: test

        function release(version, download) {
            return { version: version, date: new Date(2026, 10, 5), size: 10,
                     changelog: "https://feed.example/corvane/Hollowmere/src/tag/v" + version
                                + "/CHANGELOG.md",
                     download: download ? "https://feed.example/" + version + ".AppImage" : "" };
        }

        function dialog() {
            return window.dialogs().versions;
        }

        function openVersions() {
            mouseClick(child("launcherVersion"));
            tryCompare(dialog(), "opened", true);
        }

        function row(version) {
            const list = child("releaseList", dialog());
            tryVerify(() => findChild(list, "release_" + version) !== null);
            return findChild(list, "release_" + version);
        }

        function refreshes() {
            return updates.calls.filter(call => call[0] === "refresh");
        }

        name: "LauncherVersions"

        function cleanup() {
            dialog().close();
            tryCompare(dialog(), "visible", false);
        }

        // The two channels stand one above the other.
        function test_channelColumn() {
            openVersions();
            const first = child("channel_release", dialog());
            const second = child("channel_rc", dialog());
            compare([first.width, first.height, second.width, second.height], [144, 34, 144, 34]);
            compare([second.x, second.y], [first.x, first.y + 38]);
        }

        // The channel column, its 8 px margins included, takes 160 px before its divider.
        function test_channelColumnWidth() {
            openVersions();
            const first = child("channel_release", dialog());
            const divider = child("channelDivider", dialog());
            compare([first.mapToItem(dialog().contentItem, 0, 0).x, divider.x, divider.width],
                    [8, 160, 1]);
        }

        // Every opening shows the build's own channel, asking for it unless it is ready.
        function test_opening_data() {
            return [
                { tag: "loading", own: "release", state: "loading", asks: [["refresh", "release"]],
                  placeholder: "Loading versions…" },
                { tag: "failed", own: "release", state: "error", asks: [["refresh", "release"]],
                  placeholder: "Could not load the version list" },
                { tag: "ready", own: "rc", state: "ready", asks: [], placeholder: "" }
            ];
        }

        function test_opening(data) {
            updates.channel = data.own;
            updates.states = { [data.own]: data.state };
            updates.catalogs = { [data.own]: [release("1.2.0", true)] };
            openVersions();
            compare([dialog().channel, dialog().selectedVersion], [data.own, ""]);
            compare(refreshes(), data.asks);
            const placeholder = child("placeholder", dialog());
            compare(placeholder.visible, data.placeholder !== "");
            if (data.placeholder !== "")
                compare(placeholder.text, data.placeholder);
        }

        // Install needs a ready catalog and a selected row with an image; the
        // badge marks the newest release only in the build's own channel.
        function test_installAndBadge() {
            updates.latest = "1.3.0";
            updates.states = { release: "ready", rc: "ready" };
            updates.catalogs = { release: [release("1.3.0", true), release("1.2.0", false)],
                                 rc: [release("1.3.0", true)] };
            openVersions();
            const install = child("installButton", dialog());
            verify(findChild(row("1.3.0"), "newBadge").visible);
            mouseClick(row("1.2.0"));
            compare([dialog().selectedVersion, install.enabled], ["1.2.0", false]);
            mouseClick(row("1.3.0"));
            verify(install.enabled);
            updates.states = { release: "loading", rc: "ready" };
            verify(!install.enabled);
            updates.states = { release: "ready", rc: "ready" };
            mouseClick(install);
            compare(updates.calls.slice(-1), [["install", "release", "1.3.0"]]);

            mouseClick(child("channel_rc", dialog()));
            compare([dialog().channel, dialog().selectedVersion], ["rc", ""]);
            verify(!findChild(row("1.3.0"), "newBadge").visible);
            compare(refreshes(), []);
        }

        // While a download runs the dialog opens as it was left, asking for nothing.
        function test_openingDuringDownload() {
            updates.states = { release: "ready" };
            updates.catalogs = { release: [release("1.3.0", true)] };
            openVersions();
            mouseClick(row("1.3.0"));
            mouseClick(child("installButton", dialog()));
            updates.installing = true;
            dialog().close();
            tryCompare(dialog(), "visible", false);
            updates.calls = [];
            openVersions();
            compare([dialog().channel, dialog().selectedVersion], ["release", "1.3.0"]);
            compare(updates.calls, []);
            verify(!child("installButton", dialog()).enabled);
            verify(!child("releaseList", dialog()).enabled);
        }
    }
}
