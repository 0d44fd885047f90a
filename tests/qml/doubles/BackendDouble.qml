import QtQml
import Hollowmere

// Stands in for the launcher's backend: every property the window binds to is
// writable and every call is recorded; added profiles are appended, as the
// backend appends them.
QtObject {
    property bool busy
    property bool gameRunning
    property bool switching
    property bool seasonalInstalling
    property bool downloading
    property string downloadVersion
    property real downloadProgress
    property string downloadStatus
    property real downloadBytesDone
    property real downloadBytesTotal
    property string switchStage
    property real switchProgress
    property string switchStatus
    property int activeBuildIndex
    property string activeBuildName
    property bool microsoftAvailable: true
    // Records as profileAt gives them.
    property var profiles: []
    property var javaCatalog: []
    property bool javaCatalogLoading
    // What settings(), detectedJava(), requiredJavaMajor() and
    // inspectMicrosoftRedirect() answer.
    property var storedSettings: ({})
    property var javaLines: []
    property int requiredMajor
    property var redirect: ({ matched: false, code: "", error: "" })
    readonly property var profileNames: profiles.map(profile => profile.name)
    property var calls: []
    // Build records as customBuildAt gives them; a record's "removal" holds what
    // customBuildRemovalInfo adds to its name.
    property var builds: []
    readonly property var customBuildNames: builds.map(build => build.name)
    // What checkInstallation answers for every build.
    property var problems: []
    property var versionCatalog: []
    property bool catalogLoading
    // versionRemovalInfo by version id.
    property var removalInfos: ({})
    // loaderVersions by "loader/game version", and the lists being loaded.
    property var loaderLists: ({})
    property var loadingLists: []
    // Lists that the first refresh reads from the cache and announces before it returns.
    property var cachedLoaderLists: ({})
    property var seasonalCatalog: []
    property bool seasonalCatalogLoading
    property string seasonalCatalogError

    signal launched(string profileName, string buildName, string serverUrl)
    signal launchProgress(string message)
    signal launchError(string message)
    signal twoFactorRequired(string profileName)
    signal gameFinished(int exitCode, bool crashed)
    signal gameOutput(string line)
    signal gameDirImported(string buildName)
    signal seasonalInstallFinished(string seasonalId, string buildName)
    signal microsoftLoginUrlReady(string url)
    signal microsoftLoginSucceeded(string playerName)
    signal microsoftLoginFailed(string message)
    signal microsoftReloginRequired(int profileIndex)
    signal installedVersionsChanged
    signal loaderVersionsChanged(string loaderKey, string gameVersion)
    signal downloadChanged
    signal javaRuntimeInstalled(string runtimeId)

    function reset() {
        busy = gameRunning = switching = seasonalInstalling = downloading = false;
        downloadVersion = downloadStatus = switchStage = switchStatus = activeBuildName = "";
        downloadProgress = switchProgress = activeBuildIndex = -1;
        downloadBytesDone = downloadBytesTotal = 0;
        profiles = builds = problems = versionCatalog = loadingLists = seasonalCatalog = [];
        javaCatalog = javaLines = [];
        removalInfos = loaderLists = cachedLoaderLists = storedSettings = {};
        catalogLoading = seasonalCatalogLoading = javaCatalogLoading = false;
        seasonalCatalogError = "";
        requiredMajor = 0;
        redirect = { matched: false, code: "", error: "" };
        calls = [];
    }

    // The arguments of every call of the method of that name.
    function callsOf(name) {
        return calls.filter(call => call[0] === name).map(call => call.slice(1));
    }

    function record(name, args) { calls.push([name, ...args]); }
    // As the backend keeps names and addresses: on one line, trimmed.
    function oneLine(text) { return String(text).replace(/[\n\r\v\f\u0085\u2028\u2029]+/g, " ").trim(); }
    function launchGame() { record("launchGame", arguments); }
    function cancelDownload() { record("cancelDownload", arguments); }
    function openMinecraftFolder() { record("openMinecraftFolder", arguments); }
    function startMicrosoftLogin() { record("startMicrosoftLogin", arguments); }
    function cancelMicrosoftLogin() { record("cancelMicrosoftLogin", arguments); }
    function submitTwoFactorCode() { record("submitTwoFactorCode", arguments); }
    function cancelPendingLaunch() { record("cancelPendingLaunch", arguments); }
    function updateProfile() { record("updateProfile", arguments); }
    function removeProfile() { record("removeProfile", arguments); }
    function profileAt(index) { return profiles[index] || {}; }
    function refreshJavaCatalog() { record("refreshJavaCatalog", arguments); }
    function installJavaRuntime() { record("installJavaRuntime", arguments); }
    function removeJavaRuntime() { record("removeJavaRuntime", arguments); }
    function updateSettings() { record("updateSettings", arguments); }
    function finishMicrosoftLogin() { record("finishMicrosoftLogin", arguments); }
    function settings() { return storedSettings; }
    function detectedJava() { record("detectedJava", arguments); return javaLines; }
    function requiredJavaMajor() { record("requiredJavaMajor", arguments); return requiredMajor; }

    function javaRuntimeInfo(runtimeId) {
        const row = javaCatalog.find(entry => entry.id === runtimeId);
        return row ? { id: row.id, label: row.label, installed: row.installed }
                   : { id: runtimeId, label: runtimeId, installed: false };
    }

    function inspectMicrosoftRedirect(url) {
        record("inspectMicrosoftRedirect", arguments);
        return redirect;
    }

    function addProfile(name, login, password, authType) {
        record("addProfile", arguments);
        profiles = profiles.concat([{ name: oneLine(name) }]);
    }

    function customBuildAt(index) { return Object.assign({}, builds[index]); }
    function checkInstallation(index) { return problems; }
    function installCustomBuild() { record("installCustomBuild", arguments); }
    function refreshVersionCatalog() { record("refreshVersionCatalog", arguments); }
    function versionRemovalInfo(versionId) { return removalInfos[versionId] || {}; }
    function removeVersion() { record("removeVersion", arguments); }
    function loaderVersions(loaderKey, gameVersion) {
        return loaderLists[loaderKey + "/" + gameVersion] || [];
    }
    function loaderVersionsLoading(loaderKey, gameVersion) {
        return loadingLists.includes(loaderKey + "/" + gameVersion);
    }
    function loaderVersionsKnown(loaderKey, gameVersion) {
        return (loaderKey + "/" + gameVersion) in loaderLists;
    }
    function refreshLoaderVersions(loaderKey, gameVersion) {
        record("refreshLoaderVersions", arguments);
        const key = loaderKey + "/" + gameVersion;
        if (key in cachedLoaderLists) {
            loaderLists = Object.assign({}, loaderLists, { [key]: cachedLoaderLists[key] });
            delete cachedLoaderLists[key];
            loaderVersionsChanged(loaderKey, gameVersion);
        }
    }
    function refreshSeasonalCatalog() { record("refreshSeasonalCatalog", arguments); }
    function installSeasonalBuild() { record("installSeasonalBuild", arguments); }

    function customBuildRemovalInfo(index) {
        return index in builds ? Object.assign({ name: builds[index].name }, builds[index].removal) : {};
    }

    function addCustomBuild(name, serverUrl, minecraftVersion) {
        record("addCustomBuild", arguments);
        builds = builds.concat([{ name: oneLine(name), serverUrl: oneLine(serverUrl),
                                  minecraftVersion: minecraftVersion }]);
    }

    // The first "Build N" no build is named exactly, as the backend names it.
    function addNumberedBuild() {
        record("addNumberedBuild", arguments);
        let n = 1;
        while (customBuildNames.includes(Loc.t.build.title.numbered.arg(n)))
            ++n;
        builds = builds.concat([{ name: Loc.t.build.title.numbered.arg(n), serverUrl: "", minecraftVersion: "" }]);
        return builds.length - 1;
    }

    function updateCustomBuild(index, fields) {
        record("updateCustomBuild", arguments);
        const stored = Object.assign({}, fields);
        for (const key of ["name", "serverUrl"].filter(key => key in stored))
            stored[key] = oneLine(stored[key]);
        builds = builds.map((build, at) => at === index ? Object.assign({}, build, stored) : build);
    }

    function removeCustomBuild(index) {
        record("removeCustomBuild", arguments);
        builds = builds.filter((build, at) => at !== index);
    }
}
