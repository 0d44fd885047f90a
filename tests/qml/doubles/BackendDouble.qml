import QtQml

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
    readonly property var profileNames: profiles.map(profile => profile.name)
    property var calls: []

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

    function reset() {
        busy = gameRunning = switching = seasonalInstalling = downloading = false;
        downloadVersion = downloadStatus = switchStage = switchStatus = activeBuildName = "";
        downloadProgress = switchProgress = activeBuildIndex = -1;
        downloadBytesDone = downloadBytesTotal = 0;
        profiles = [];
        calls = [];
    }

    // The arguments of every call of the method of that name.
    function callsOf(name) {
        return calls.filter(call => call[0] === name).map(call => call.slice(1));
    }

    function record(name, args) { calls.push([name, ...args]); }
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

    function addProfile(name, login, password, authType) {
        record("addProfile", arguments);
        profiles = profiles.concat([{ name: name }]);
    }
}
