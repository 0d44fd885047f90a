import QtQml

// Stands in for the self-update model: writable state and recorded calls.
QtObject {
    property string channel: "release"
    property string latest
    property bool installing
    property real downloadProgress
    property var catalogs: ({})
    property var states: ({})
    property var calls: []

    signal installationFailed

    function reset() {
        channel = "release";
        latest = "";
        installing = false;
        downloadProgress = -1;
        catalogs = {};
        states = {};
        calls = [];
    }

    function refresh(channel) { calls.push(["refresh", channel]); }
    function cancelDownload() { calls.push(["cancelDownload"]); }
    function install(channel, version) { calls.push(["install", channel, version]); }
}
