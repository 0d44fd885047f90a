import QtQuick
import QtQuick.Controls.Basic
import Hollowmere

// One mod loader of the build editor: a check box and, while checked, the
// loader's versions for the game version, or a line saying why there are none:
// loading, none for this game version, or no list to tell.
// The row keeps its choice valid against the list; its host commits the build.
Column {
    id: row

    required property var backend
    required property string loaderKey
    required property string title
    property string gameVersion: ""
    property alias checked: box.checked
    property string selectedVersion: ""
    property var entries: []
    property bool applying: false
    // Bumped whenever the backend may have started or ended loading this list.
    property int loadingRevision: 0
    readonly property bool listLoading: {
        loadingRevision;
        return backend.loaderVersionsLoading(loaderKey, gameVersion);
    }
    // Only a list that arrived can say the loader lacks this game version.
    readonly property bool listKnown: {
        loadingRevision;
        return backend.loaderVersionsKnown(loaderKey, gameVersion);
    }

    signal userChecked
    signal changed

    function versionIndex(version) {
        return entries.findIndex(entry => entry.version === version);
    }

    function applyEntries(list) {
        entries = list;
        // An empty list is no answer yet (unknown, still loading or not fetched):
        // the stored choice stays until a list says otherwise, so merely showing
        // a build never rewrites its loader version.
        if (list.length > 0 && versionIndex(selectedVersion) < 0) {
            const fallback = list[0].version;
            const differs = fallback !== selectedVersion;
            selectedVersion = fallback;
            if (differs && !applying)
                changed();
        }
        combo.currentIndex = versionIndex(selectedVersion);
    }

    function reload() {
        ++loadingRevision;
        if (!box.checked || gameVersion === "") {
            selectedVersion = "";
            applyEntries([]);
            return;
        }
        applyEntries(backend.loaderVersions(loaderKey, gameVersion));
        backend.refreshLoaderVersions(loaderKey, gameVersion);
        ++loadingRevision;
    }

    function applyBuild(loader, loaderVersion) {
        applying = true;
        box.checked = loader === loaderKey;
        selectedVersion = box.checked ? loaderVersion : "";
        reload();
        applying = false;
    }

    spacing: 4
    onGameVersionChanged: {
        selectedVersion = "";
        reload();
    }

    Connections {
        target: row.backend

        function onLoaderVersionsChanged(key, game) {
            ++row.loadingRevision;
            if (key === row.loaderKey && game === row.gameVersion && box.checked)
                row.applyEntries(row.backend.loaderVersions(key, game));
        }
        // The backend tells of loader lists starting and ending their refresh only
        // through its download notification.
        function onDownloadChanged() {
            ++row.loadingRevision;
        }
    }

    CheckBox {
        id: box

        objectName: "box"
        enabled: row.gameVersion !== ""
        text: row.title
        padding: 0
        spacing: 8
        onToggled: {
            if (checked)
                row.userChecked();
            else
                row.selectedVersion = "";
            row.reload();
            row.changed();
        }

        indicator: Rectangle {
            x: box.leftPadding
            anchors.verticalCenter: parent.verticalCenter
            implicitWidth: 18
            implicitHeight: 18
            radius: 4
            color: box.checked ? Theme.accent : Theme.field
            border.width: 1
            border.color: box.checked ? Theme.accent : Theme.fieldBorder

            FocusRing {
                visible: box.visualFocus
            }

            Text {
                anchors.centerIn: parent
                visible: box.checked
                text: "✓"
                color: Theme.inkOnAccent
                font.pixelSize: 13
                font.bold: true
            }
        }

        contentItem: Text {
            leftPadding: box.indicator.width + box.spacing
            text: box.text
            textFormat: Text.PlainText
            color: box.enabled ? "white" : Theme.faint
            font.pixelSize: 12
            verticalAlignment: Text.AlignVCenter
        }
    }

    DarkCombo {
        id: combo

        objectName: "combo"
        x: 26
        width: row.width - 26
        height: 32
        visible: box.checked && row.entries.length > 0
        model: row.entries.map(entry => entry.label)
        onActivated: index => {
            if (index < 0 || index >= row.entries.length)
                return;
            row.selectedVersion = row.entries[index].version;
            row.changed();
        }
    }

    Text {
        objectName: "hint"
        x: 26
        width: row.width - 26
        visible: box.checked && row.entries.length === 0
        text: row.listLoading ? Loc.t.loader.progress.loadingVersions.arg(row.title)
            : row.listKnown ? Loc.t.loader.status.unsupported.arg(row.title).arg(row.gameVersion)
            : Loc.t.loader.error.versionsNotLoaded.arg(row.title)
        textFormat: Text.PlainText
        color: row.listLoading ? Theme.secondary : Theme.warning
        font.pixelSize: 11
        wrapMode: Text.Wrap
    }
}
