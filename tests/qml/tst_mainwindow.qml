import QtQuick
import QtTest
import Hollowmere
import "doubles"

Item {
    MainWindowCase {
        name: "MainWindow"

        readonly property string red: "#cc3333"
        readonly property string green: "#4b7a1f"

        function test_startRefreshesTheOwnChannelOnce() {
            compare(startCalls, [["refresh", "release"]]);
        }

        // Looking for Java runs every candidate executable: nothing looks while
        // the window and its dialogs are made; the settings look when they open
        // and keep what they found.
        function test_javaLookedForWhenSettingsOpen() {
            compare(startBackendCalls.filter(call => call[0] === "detectedJava"), []);
            backend.javaLines = ["Java 17 — /usr/bin/java"];
            const settings = window.dialogs().settings;
            for (let opening = 0; opening < 2; ++opening) {
                mouseClick(child("settingsButton"));
                tryCompare(settings, "opened", true);
                settings.close();
                tryCompare(settings, "visible", false);
            }
            compare(backend.callsOf("detectedJava"), [[]]);
            compare(child("stJavaList", settings).text, "Java 17 — /usr/bin/java");
        }

        // Each signal the window answers: the toast's text, colour and time, and calls.
        function test_signals_data() {
            const t = Loc.t;
            return [
                { tag: "launched", emit: () => backend.launched("Steve", "Vanilla", "mc.example"),
                  text: "Launched: Steve — Vanilla", color: green, time: 4000 },
                { tag: "placeholder in a name", emit: () => backend.launched("A%2", "B%1", ""),
                  text: "Launched: A%2 — B%1", color: green, time: 4000 },
                { tag: "progress", emit: () => backend.launchProgress("Fetching"), text: "Fetching",
                  color: "#3a5a8c", time: 0 },
                { tag: "markup stays text", emit: () => backend.launchError("<b>x</b><img src=y>"),
                  text: "<b>x</b><img src=y>", color: red, time: 8000 },
                { tag: "closed", emit: () => backend.gameFinished(0, false),
                  text: t.game.status.closed, color: "#555555", time: 4000 },
                { tag: "exit code", emit: () => backend.gameFinished(1, false),
                  text: t.game.status.crashed.arg(1), color: red, time: 4000 },
                { tag: "crashed", emit: () => backend.gameFinished(0, true),
                  text: t.game.status.crashed.arg(0), color: red, time: 4000 },
                { tag: "signed in", emit: () => backend.microsoftLoginSucceeded("Alex"),
                  text: "Signed in: Alex", color: green, time: 4000 },
                { tag: "sign-in failed", emit: () => backend.microsoftLoginFailed("No Xbox"),
                  text: "No Xbox", color: red, time: 8000 },
                { tag: "imported", emit: () => backend.gameDirImported("Old"),
                  text: t.build.status.imported.arg("Old"), color: green, time: 10000 },
                { tag: "seasonal", emit: () => backend.seasonalInstallFinished("autumn", "Autumn"),
                  text: t.seasonal.status.readyToLaunch.arg("Autumn"), color: green, time: 8000 },
                { tag: "self-update failed", emit: () => updates.installationFailed(),
                  text: t.app.error.launcherInstall, color: red, time: 8000 },
                // The sign-in window's own failure, from the service's words.
                { tag: "sign-in window failed", emit: () => {
                        backend.microsoftLoginUrlReady("about:blank");
                        window.microsoftLoginDialog.failed("<b>denied</b>");
                        window.microsoftLoginDialog.close();
                    }, text: "<b>denied</b>", color: red, time: 6000 },
                { tag: "relogin", emit: () => backend.microsoftReloginRequired(2), text: "",
                  calls: [["startMicrosoftLogin", 2]] },
                { tag: "game output", emit: () => backend.gameOutput("[main] loading"), text: "" }
            ];
        }

        function test_signals(data) {
            data.emit();
            // The sign-in window asks about every address its browser reaches.
            compare(backend.calls.filter(call => call[0] !== "inspectMicrosoftRedirect"),
                    data.calls || []);
            const label = child("toastLabel");
            compare([label.text, child("toast").visible], [data.text, data.text !== ""]);
            if (data.text === "")
                return;
            compare(label.textFormat, Text.PlainText);
            compare(child("toast").color, Qt.color(data.color));
            const timer = resource(child("toast"), "toastTimer");
            compare([timer.running, data.time ? timer.interval : 0], [data.time > 0, data.time]);
        }

        function test_toastTimeAndPlace() {
            const toast = child("toast");
            window.showToast("stays", green, 0);
            wait(150);
            verify(toast.visible);
            compare([toast.y + toast.height, toast.width, toast.height],
                    [720 - 40, child("toastLabel").implicitWidth + 32, child("toastLabel").height + 20]);
            // A later toast replaces it with its own time; without one it is 4 s.
            window.showToast("goes", red, 100);
            tryCompare(toast, "visible", false);
            window.showToast("default", green);
            compare(resource(toast, "toastTimer").interval, 4000);
            // Above a progress panel; long texts wrap within the window.
            backend.switching = true;
            window.showToast("A long line ".repeat(40), red, 0);
            compare([toast.y + toast.height, toast.width, toast.x], [720 - 110, 1200, 40]);
            verify(child("toastLabel").lineCount > 1);
        }

        // The child of item drawn uppermost at x, y: the highest z, and of equal
        // ones the last.
        function topChildAt(item, x, y) {
            const hits = Array.from(item.children).map((child, order) => ({ child, order }))
                .filter(hit => hit.child.visible
                        && hit.child.contains(hit.child.mapFromItem(item, x, y)))
                .sort((a, b) => a.child.z - b.child.z || a.order - b.order);
            return hits.length > 0 ? hits[hits.length - 1].child : null;
        }

        // Beside the seasonal builds button a long toast wraps short of it;
        // above a progress panel it clears the button and takes the window's width.
        function test_toastClearsTheSeasonalButton_data() {
            return [{ tag: "opening size", width: 1280 }, { tag: "narrow", width: 700 },
                    { tag: "too narrow to pass it", width: 560 }];
        }

        function test_toastClearsTheSeasonalButton(data) {
            window.width = data.width;
            tryCompare(window.contentItem, "width", data.width);
            const toast = child("toast");
            const button = child("seasonsButton");
            window.showToast("A long line ".repeat(40), red, 0);
            verify(child("toastLabel").lineCount > 1);
            const clear = toast.x + toast.width <= button.x - 12
                    || toast.y + toast.height <= button.y - 12;
            verify(clear, JSON.stringify([toast.x, toast.y, toast.width, toast.height]));
            compare(toast.x, (data.width - toast.width) / 2);
            verify(toast.width >= Math.min(data.width - 80, 240));
        }

        // The toast stands above every dialog and its dimming: at its centre the
        // window's uppermost item is the toast, not the overlay that holds the dialogs.
        function test_toastAboveDialogs_data() {
            const dialogs = () => window.dialogs();
            return [
                { tag: "builds", open: () => { window.openBuilds(); return window.buildsDialog; } },
                { tag: "seasonal", open: () => { window.openSeasonal(); return window.seasonalDialog; } },
                { tag: "settings", open: () => { dialogs().settings.load(); return dialogs().settings; } },
                { tag: "java picker", open: () => {
                        dialogs().javaPicker.openFor("", 0);
                        return dialogs().javaPicker;
                    } },
                { tag: "launcher versions", open: () => {
                        dialogs().versions.open();
                        return dialogs().versions;
                    } },
                { tag: "two-factor", open: () => {
                        backend.twoFactorRequired("Steve");
                        return dialogs().twoFactor;
                    } }
            ];
        }

        function test_toastAboveDialogs(data) {
            const dialog = data.open();
            tryCompare(dialog, "opened", true);
            backend.launchError("Refused");
            const toast = child("toast");
            const centre = toast.mapToItem(window.contentItem, toast.width / 2, toast.height / 2);
            const top = topChildAt(window.contentItem, centre.x, centre.y);
            dialog.close();
            tryCompare(dialog, "visible", false);
            compare(top, toast);
        }

        // Work started in a dialog shows its progress above it and its dimming.
        function test_panelsAboveDialogs_data() {
            return test_toastAboveDialogs_data();
        }

        function test_panelsAboveDialogs(data) {
            backend.switching = true;
            const dialog = data.open();
            tryCompare(dialog, "opened", true);
            const panel = child("switchPanel");
            const centre = panel.mapToItem(window.contentItem, panel.width / 2, panel.height / 2);
            const top = topChildAt(window.contentItem, centre.x, centre.y);
            dialog.close();
            tryCompare(dialog, "visible", false);
            compare(top, panel);
        }

        // A panel over a dialog takes none of its presses: its cancel cross, where it
        // lies over the builds dialog in a small window, cancels nothing there.
        function test_panelOverADialogTakesNoPress() {
            backend.downloading = true;
            backend.builds = [{ name: "Vanilla" }];
            backend.activeBuildIndex = 0;
            window.width = 800;
            window.height = 600;
            tryCompare(window.contentItem, "height", 600);
            window.openBuilds();
            const builds = window.buildsDialog;
            tryCompare(builds, "opened", true);
            const cross = findChild(child("downloadPanel"), "cancel");
            const point = cross.mapToItem(window.contentItem, cross.width / 2, cross.height / 2);
            verify(builds.contentItem.parent.contains(builds.contentItem.parent.mapFromItem(window.contentItem,
                                                                                             point.x, point.y)));
            mouseClick(window.contentItem, point.x, point.y);
            compare(backend.callsOf("cancelDownload"), []);
            verify(builds.opened);
            builds.close();
            tryCompare(builds, "visible", false);
            mouseClick(window.contentItem, point.x, point.y);
            compare(backend.callsOf("cancelDownload"), [[]]);
        }

        // A toast over a dialog's button takes no click: the button beneath gets it
        // and the dialog stays open.
        function test_clicksPassThroughTheToast() {
            backend.builds = [{ name: "Empty" }];
            backend.activeBuildIndex = 0;
            window.openBuilds();
            const builds = window.buildsDialog;
            tryCompare(builds, "opened", true);
            window.showToast("First pick a Minecraft version for this build. ".repeat(12), red, 0);
            const toast = child("toast");
            const install = child("installButton", builds);
            const point = install.mapToItem(window.contentItem, install.width / 2, install.height / 2);
            verify(toast.contains(toast.mapFromItem(window.contentItem, point.x, point.y)));
            mouseClick(window.contentItem, point.x, point.y);
            compare(backend.callsOf("installCustomBuild"), [[0]]);
            verify(builds.opened);
        }

        function test_formatMb() {
            compare([0, 1000, 1572864, 104957599].map(window.formatMb), ["0.0", "0.0", "1.5", "100.1"]);
        }

        function test_panelsShow_data() {
            return [
                { tag: "idle", set: () => {}, download: false, switching: false },
                { tag: "download", set: () => backend.downloading = true, download: true,
                  switching: false },
                { tag: "self-update", set: () => updates.installing = true, download: true,
                  switching: false },
                { tag: "switch", set: () => backend.switching = true, download: false,
                  switching: true },
                { tag: "switch under self-update", set: () => updates.installing = backend.switching = true,
                  download: true, switching: false }
            ];
        }

        function test_panelsShow(data) {
            data.set();
            compare([child("downloadPanel").visible, child("switchPanel").visible],
                    [data.download, data.switching]);
        }

        function test_panelsContent() {
            const panel = child("downloadPanel");
            Object.assign(backend, { downloading: true, downloadVersion: "1.20.1", downloadProgress: 0.25,
                                     downloadStatus: "natives%2Flinux.jar" });
            compare([panel.title, panel.fraction, panel.status, panel.detail],
                    ["Downloading 1.20.1", 0.25, "natives%2Flinux.jar", ""]);
            Object.assign(backend, { downloadBytesDone: 1572864, downloadBytesTotal: 10485760 });
            compare(panel.detail, "natives%2Flinux.jar — 1.5 / 10.0 MB");
            panel.cancelRequested();
            compare(backend.callsOf("cancelDownload"), [[]]);
            // A self-update takes the panel over, and its cancel.
            Object.assign(updates, { installing: true, downloadProgress: 0.5 });
            compare([panel.fraction, panel.status, panel.detail],
                    [0.5, Loc.t.app.status.downloadingInstaller, ""]);
            panel.cancelRequested();
            compare([updates.calls, backend.callsOf("cancelDownload").length], [[["cancelDownload"]], 1]);

            const switchPanel = child("switchPanel");
            Object.assign(backend, { switchStage: "Restoring", switchProgress: 0.75, switchStatus: "saves" });
            compare([switchPanel.title, switchPanel.fraction, switchPanel.status, switchPanel.cancellable],
                    ["Restoring", 0.75, "saves", false]);
        }

        // Which buttons each state leaves enabled.
        function test_enablement_data() {
            return [
                { tag: "idle", set: () => {}, play: true, folder: true, builds: true, version: true },
                { tag: "busy", set: () => backend.busy = true, play: false, folder: true, builds: true,
                  version: false },
                { tag: "game running", set: () => backend.gameRunning = true, play: false, folder: true,
                  version: false },
                { tag: "switching", set: () => backend.switching = true, play: true, folder: true,
                  version: false },
                { tag: "seasonal", set: () => backend.seasonalInstalling = true, play: true, folder: true,
                  version: false },
                { tag: "self-update", set: () => updates.installing = true, play: false, folder: false,
                  version: true }
            ];
        }

        function test_enablement(data) {
            data.set();
            const faded = data.play ? 1.0 : 0.45;
            compare([child("playButton").enabled, child("playButton").contentItem.opacity],
                    [data.play, faded]);
            compare([child("profileBox").enabled, child("profileBox").opacity], [data.play, faded]);
            compare([child("folderButton").enabled, child("seasonsButton").enabled], [data.folder, data.folder]);
            compare([child("buildButton").enabled, child("buildButton").opacity],
                    [data.builds === true, data.builds ? 1.0 : 0.45]);
            compare([child("settingsButton").enabled, child("launcherVersion").enabled],
                    [data.play, data.version]);
        }

        // Both dialogs are made on first use, centred on the window; their buttons
        // stay lit while they are open.
        function test_dialogButtons() {
            compare(dialogsAtStart, [null, null]);
            const buildButton = child("buildButton");
            mouseClick(buildButton);
            const builds = window.buildsDialog;
            tryCompare(builds, "opened", true);
            compare([builds.x, builds.y], [200, 60]);
            compare(buildButton.background.color, Qt.color("#91B315"));
            verify(String(buildButton.background.children[0].source).endsWith("Asset_23.svg"));
            compare(backend.callsOf("refreshVersionCatalog"), [[]]);
            builds.close();
            tryCompare(buildButton.background, "color", Qt.color("#232323"));

            const seasonsButton = child("seasonsButton");
            mouseClick(seasonsButton);
            const seasons = window.seasonalDialog;
            tryCompare(seasons, "opened", true);
            compare([seasons.x, seasons.y, seasonsButton.background.color], [160, 80, Qt.color("#91B315")]);
            compare(backend.callsOf("refreshSeasonalCatalog"), [[false]]);
        }

        function test_layout_data() {
            return [{ tag: "opening size", width: 1280, height: 720 },
                    { tag: "resized", width: 900, height: 1000 }];
        }

        function test_layout(data) {
            window.width = data.width;
            window.height = data.height;
            tryCompare(window.contentItem, "height", data.height);
            const box = item => [item.x, item.y, item.width, item.height];
            const play = child("playButton");
            const left = (data.width - 335) / 2;
            const top = (data.height - 170) / 2;
            compare(box(play), [left, top, 335, 170]);
            compare(box(child("profileBox")), [left, top + 176, 146, 42]);
            compare(box(child("buildButton")), [left + 335 - 183, top + 176, 183, 42]);
            compare(box(child("folderButton")), [left + 335 - 183 - 59, top + 223, 70, 40]);
            compare(box(child("settingsButton")), [left + 335 - 183 - 59 + 78, top + 223, 70, 40]);
            compare(box(child("seasonsButton")), [data.width - 207, data.height - 66, 183, 42]);
            compare([child("launcherVersion").x, child("launcherVersion").y,
                     child("launcherVersion").height], [8, 8, 30]);
            for (const name of ["downloadPanel", "switchPanel"])
                compare(box(child(name)), [24, data.height - 96, 320, 72]);
        }

        function test_versionBadges_data() {
            return [
                { tag: "release", channel: "release", latest: "", badge: false },
                { tag: "rc", channel: "rc", latest: "1.2.0-rc1", badge: true, text: "RC", color: "#c08a1e" },
                { tag: "dev", channel: "dev", latest: "", badge: true, text: "DEV", color: "#b03a3a" }
            ];
        }

        function test_versionBadges(data) {
            Object.assign(updates, { channel: data.channel, latest: data.latest });
            const badge = child("channelBadge");
            compare(badge.visible, data.badge);
            if (data.badge)
                compare([badge.children[0].text, badge.color], [data.text, Qt.color(data.color)]);
            const fresh = child("newVersionBadge");
            const version = child("launcherVersion");
            compare([fresh.visible, fresh.x], [data.latest !== "", version.x + version.width + 6]);
            fuzzyCompare(fresh.y + fresh.height / 2, version.y + version.height / 2, 0.5);
        }

        function test_play() {
            const play = child("playButton");
            // No profile and no build: the backend is asked all the same and refuses.
            mouseClick(play);
            backend.profiles = [{ name: "Steve" }, { name: "Alex" }];
            child("profileBox").currentIndex = 1;
            backend.activeBuildIndex = 3;
            mousePress(play);
            verify(String(play.contentItem.source).endsWith("Play_pressed.svg"));
            mouseRelease(play);
            verify(String(play.contentItem.source).endsWith("Play_Active.svg"));
            backend.busy = true;
            mouseClick(play);
            compare(backend.callsOf("launchGame"), [[-1, -1], [1, 3]]);
        }

        function test_buildAndFolderButtons() {
            const buildText = child("buildButton").contentItem;
            compare(buildText.text, Loc.t.common.status.noBuildSelected);
            backend.activeBuildName = "<i>Modded</i>";
            compare([buildText.text, buildText.textFormat], ["<i>Modded</i>", Text.PlainText]);
            mouseClick(child("folderButton"));
            compare(backend.callsOf("openMinecraftFolder"), [[]]);
        }
    }
}
