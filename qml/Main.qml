import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Templates as T
import Hollowmere
import "Placeholders.js" as Placeholders

// The launcher's window: the play button and the profile selector in the middle,
// the progress panels and the toast, the profile dialogs, the two-factor
// prompt, the builds and seasonal builds dialogs, the settings with their Java
// runtime picker and the launcher's releases. The toast is the interface's only
// status channel: whatever the backend or the update model reports reaches the
// player here.
Window {
    id: window

    // The backend and the self-update model live exactly as long as the window.
    // The launcher never replaces them; the interface tests hand in doubles.
    property var backend: LauncherBackend {}
    property var launcherUpdates: LauncherUpdates {}
    // The Microsoft sign-in window, made on the first sign-in and kept.
    property var microsoftLoginDialog: null
    property bool releasesAsked: false
    // The launcher hands in its background decoded ahead of the window (main.cpp).
    property url backgroundSource: "images/launcherBackground.png"

    readonly property bool panelShown: downloadPanel.visible || switchPanel.visible
    // Beside the seasonal builds button the toast keeps 12 px clear of it; where
    // that leaves too little room to read, it takes its higher place, the one it
    // has above the progress panels.
    readonly property real toastRoomBesideButton: width - 2 * (width - seasonsButton.x + 12)
    readonly property bool toastRaised: panelShown || toastRoomBesideButton < 240
    // The builds and seasonal builds dialogs are made when first opened, so the
    // window's first frame does not wait for them; null until then.
    readonly property var buildsDialog: buildsLoader.item
    readonly property var seasonalDialog: seasonalLoader.item
    readonly property bool buildsOpen: buildsDialog !== null && buildsDialog.visible
    readonly property bool seasonalOpen: seasonalDialog !== null && seasonalDialog.visible
    // What the controls wait for, in one place. Starting work (Play, the profile
    // selector, the settings) waits until the window is idle; the folder and
    // seasonal-builds buttons wait only for a self-update to end.
    readonly property bool idle: !launcherUpdates.installing && !backend.busy && !backend.gameRunning
    readonly property bool buildsSettled: !backend.switching && !backend.seasonalInstalling
    // The releases may be looked at during a self-update.
    readonly property bool releasesOpenable: !backend.busy && !backend.gameRunning && buildsSettled
    // The builds may be edited while the backend is busy.
    readonly property bool buildsEditable: !launcherUpdates.installing && !backend.gameRunning
                                           && buildsSettled

    function showToast(text, color, timeout) {
        toastLabel.text = text;
        toast.color = color;
        toastTimer.stop();
        const shownFor = timeout === undefined ? 4000 : timeout;
        // Without a positive time the toast stays until the next one replaces it.
        if (shownFor > 0) {
            toastTimer.interval = shownFor;
            toastTimer.start();
        }
    }

    function fill(text, ...values) {
        return Placeholders.fill(text, ...values);
    }

    function formatMb(bytes) {
        return (bytes / 1048576).toFixed(1);
    }

    // The dialogs made after the first frame: addProfile, editProfile, twoFactor,
    // settings, javaPicker, versions.
    function dialogs() {
        dialogHost.active = true;
        // Completes a load still under way at once.
        dialogHost.asynchronous = false;
        return dialogHost.item;
    }

    function openMicrosoftLogin(url) {
        if (microsoftLoginDialog === null) {
            const component = Qt.createComponent("MicrosoftLoginDialog.qml");
            const dialog = component.status === Component.Ready
                    ? component.createObject(window, { backend: backend }) : null;
            if (dialog === null) {
                // Nothing is kept, so the next request tries again.
                backend.cancelMicrosoftLogin();
                showToast(Loc.t.auth.msa.error.windowUnavailable, Theme.toastError, 8000);
                return;
            }
            dialog.failed.connect(message => showToast(message, Theme.toastError, 6000));
            microsoftLoginDialog = dialog;
        }
        microsoftLoginDialog.openAt(url);
    }

    function openBuilds() {
        buildsLoader.active = true;
        buildsDialog.open();
    }

    function openSeasonal() {
        seasonalLoader.active = true;
        seasonalDialog.openCatalog();
    }

    // The account kinds that the profile dialogs offer, keyed as the backend
    // stores them.
    function accountKinds(withMicrosoft) {
        const labels = Loc.t.profile.authTypes;
        const kinds = [{ key: "offline", label: labels[0] }, { key: "elyby", label: labels[1] }];
        return withMicrosoft ? kinds.concat([{ key: "microsoft", label: labels[2] }]) : kinds;
    }

    width: 1280
    height: 720
    // The smallest window whose dialogs still show every column of the seasonal
    // table and a few rows of every list; below it controls would overlap.
    minimumWidth: 800
    minimumHeight: 500
    visible: true
    title: Loc.t.app.title

    // Once the first frame is on its way the model asks for its release feed
    // (setting up the first request, with TLS, proxies and a network thread,
    // would otherwise hold that frame back) and the dialogs below are made.
    onAfterAnimating: {
        if (releasesAsked)
            return;
        releasesAsked = true;
        Qt.callLater(() => {
            launcherUpdates.refresh(launcherUpdates.channel);
            dialogHost.active = true;
        });
    }

    Connections {
        target: window.backend

        function onLaunched(profileName, buildName, serverUrl) {
            window.showToast(window.fill(Loc.t.launch.status.started, profileName, buildName),
                             Theme.toastSuccess);
        }
        function onLaunchProgress(message) {
            window.showToast(message, Theme.toastProgress, 0);
        }
        function onLaunchError(message) {
            window.showToast(message, Theme.toastError, 8000);
        }
        function onTwoFactorRequired(profileName) {
            window.dialogs().twoFactor.ask(profileName);
        }
        function onGameFinished(exitCode, crashed) {
            if (crashed || exitCode !== 0)
                window.showToast(Loc.t.game.status.crashed.arg(exitCode), Theme.toastError);
            else
                window.showToast(Loc.t.game.status.closed, Theme.toastNeutral);
        }
        function onMicrosoftLoginUrlReady(url) {
            window.openMicrosoftLogin(url);
        }
        function onMicrosoftLoginSucceeded(playerName) {
            window.showToast(Loc.t.auth.status.signedInAs.arg(playerName), Theme.toastSuccess);
        }
        function onMicrosoftLoginFailed(message) {
            window.showToast(message, Theme.toastError, 8000);
        }
        function onMicrosoftReloginRequired(profileIndex) {
            window.backend.startMicrosoftLogin(profileIndex);
        }
        function onGameOutput(line) {
            console.debug(line);
        }
        function onGameDirImported(buildName) {
            window.showToast(Loc.t.build.status.imported.arg(buildName), Theme.toastSuccess, 10000);
        }
        function onSeasonalInstallFinished(seasonalId, buildName) {
            window.showToast(Loc.t.seasonal.status.readyToLaunch.arg(buildName), Theme.toastSuccess,
                             8000);
        }
    }

    Connections {
        target: window.launcherUpdates

        function onInstallationFailed() {
            window.showToast(Loc.t.app.error.launcherInstall, Theme.toastError, 8000);
        }
    }

    Image {
        anchors.fill: parent
        source: window.backgroundSource
    }

    AbstractButton {
        id: launcherVersion

        objectName: "launcherVersion"
        x: 8
        y: 8
        height: 30
        leftPadding: 8
        rightPadding: 8
        enabled: window.releasesOpenable
        hoverEnabled: true
        onClicked: window.dialogs().versions.open()

        contentItem: Row {
            spacing: 6

            Text {
                anchors.verticalCenter: parent.verticalCenter
                text: Loc.t.app.label.version.arg(Qt.application.version)
                textFormat: Text.PlainText
                color: "white"
                font.pixelSize: 12
            }

            Badge {
                readonly property string channel: window.launcherUpdates.channel

                objectName: "channelBadge"
                anchors.verticalCenter: parent.verticalCenter
                visible: channel === "rc" || channel === "dev"
                extraWidth: 8
                extraHeight: 2
                radius: 3
                color: channel === "rc" ? "#c08a1e" : "#b03a3a"
                text: channel.toUpperCase()
                textSize: 10
            }
        }

        background: Item {
            Rectangle {
                anchors.fill: parent
                opacity: 0.36
                radius: 6
                color: launcherVersion.pressed || (dialogHost.item?.versions.visible ?? false)
                       ? Theme.accent : "#000000"
                border.width: 1
                border.color: launcherVersion.hovered || launcherVersion.activeFocus ? Theme.accent
                                                                                    : color
            }
        }
    }

    Badge {
        objectName: "newVersionBadge"
        anchors.left: launcherVersion.right
        anchors.leftMargin: 6
        anchors.verticalCenter: launcherVersion.verticalCenter
        visible: window.launcherUpdates.latest !== ""
        extraWidth: 12
        extraHeight: 6
        radius: 4
        color: "#4b631c"
        text: Loc.t.app.status.newVersion
        textSize: 11
    }

    AbstractButton {
        id: button

        objectName: "playButton"
        width: 335
        height: 170
        anchors.centerIn: parent
        // Centred exactly, half pixels included, as the rest of the group hangs on it.
        anchors.alignWhenCentered: false
        hoverEnabled: false
        enabled: window.idle
        onClicked: window.backend.launchGame(profileBox.currentIndex,
                                             window.backend.activeBuildIndex)

        contentItem: Image {
            sourceSize: Qt.size(335, 170)
            opacity: button.enabled ? 1.0 : 0.45
            source: button.pressed ? "images/Play_Button/Play_pressed.svg"
                                   : "images/Play_Button/Play_Active.svg"

            FocusRing {
                radius: 15
                visible: button.visualFocus
            }
        }
    }

    ComboBox {
        id: profileBox

        objectName: "profileBox"
        width: 146
        height: 42
        anchors.left: button.left
        anchors.bottom: button.bottom
        anchors.bottomMargin: -48
        padding: 5
        leftPadding: 30
        rightPadding: 5
        hoverEnabled: true
        model: window.backend.profileNames
        enabled: window.idle
        opacity: enabled ? 1.0 : 0.45

        contentItem: Text {
            text: profileBox.displayText
            textFormat: Text.PlainText
            font: profileBox.font
            color: "white"
            verticalAlignment: Text.AlignVCenter
            elide: Text.ElideRight
        }

        indicator: Chevron {
            x: 10
            y: (profileBox.height - height) / 2
            open: profileBox.down
        }

        background: Rectangle {
            radius: 6
            color: profileBox.down ? Theme.accent : Theme.plate
            border.width: 1
            border.color: profileBox.hovered ? Theme.accent : Theme.plate

            FocusRing {
                visible: profileBox.visualFocus
            }
        }

        // Profile names are the player's own text: shown as typed.
        PlainToolTip {
            objectName: "profileTip"
            visible: profileBox.hovered && !profileBox.down
            text: profileBox.count === 0 ? Loc.t.profile.hint.addFirst
                                         : Loc.t.profile.label.current.arg(profileBox.displayText)
        }

        popup: Popup {
            y: profileBox.height - 1
            width: profileBox.width
            height: 32 + profileItemList.height
            padding: 0

            background: Rectangle {
                color: Theme.plate
                radius: 6
                border.width: 1
                border.color: Theme.plate
            }

            contentItem: Item {
                Rectangle {
                    objectName: "addProfileStrip"
                    width: parent.width
                    height: 32
                    color: addArea.pressed ? Theme.rowLit : "transparent"

                    Text {
                        anchors.centerIn: parent
                        text: Loc.t.profile.button.add
                        color: Theme.accent
                        font.pixelSize: 12
                    }

                    MouseArea {
                        id: addArea

                        anchors.fill: parent
                        onClicked: {
                            profileBox.popup.close();
                            window.dialogs().addProfile.open();
                        }
                    }
                }

                ListView {
                    id: profileItemList

                    objectName: "profileItemList"
                    y: 32
                    width: parent.width
                    height: Math.min(contentHeight, 200)
                    clip: true
                    model: window.backend.profileNames

                    ScrollIndicator.vertical: ScrollIndicator {
                        parent: profileItemList.parent
                        anchors.top: profileItemList.top
                        anchors.left: profileItemList.right
                        anchors.bottom: profileItemList.bottom
                    }

                    delegate: Rectangle {
                        id: row

                        required property int index
                        required property string modelData

                        width: ListView.view.width
                        height: 40
                        radius: 5
                        color: index === profileBox.currentIndex || rowHover.hovered ? Theme.accent
                                                                                     : Theme.plate

                        HoverHandler {
                            id: rowHover
                        }

                        MouseArea {
                            anchors.fill: parent
                            onClicked: {
                                profileBox.currentIndex = row.index;
                                profileBox.popup.close();
                            }
                        }

                        Text {
                            anchors.fill: parent
                            leftPadding: 8
                            rightPadding: 62
                            text: row.modelData
                            textFormat: Text.PlainText
                            font: profileBox.font
                            color: "white"
                            verticalAlignment: Text.AlignVCenter
                            elide: Text.ElideRight
                        }

                        RowIcon {
                            objectName: "editIcon"
                            anchors.right: removeIcon.left
                            anchors.rightMargin: 12
                            visible: rowHover.hovered
                            source: "images/Pencil.svg"
                            onClicked: window.dialogs().editProfile.openFor(row.index)
                        }

                        RowIcon {
                            id: removeIcon

                            objectName: "removeIcon"
                            anchors.right: parent.right
                            anchors.rightMargin: 10
                            visible: rowHover.hovered
                            source: "images/Trash.svg"
                            // At once and without a question; the popup stays open.
                            onClicked: window.backend.removeProfile(row.index)
                        }
                    }
                }
            }
        }
    }

    PlateButton {
        id: buildButton

        objectName: "buildButton"
        anchors.right: button.right
        anchors.bottom: profileBox.bottom
        leftPadding: 30
        rightPadding: 5
        enabled: window.buildsEditable
        open: window.buildsOpen
        ToolTip.visible: hovered && !window.buildsOpen
        ToolTip.text: Loc.t.common.title.customBuilds
        onClicked: window.openBuilds()

        contentItem: Text {
            text: window.backend.activeBuildName !== "" ? window.backend.activeBuildName
                                                        : Loc.t.common.status.noBuildSelected
            textFormat: Text.PlainText
            color: "white"
            verticalAlignment: Text.AlignVCenter
            elide: Text.ElideRight
        }

        plateItems: Chevron {
            x: 10
            anchors.verticalCenter: parent.verticalCenter
            open: window.buildsOpen
        }
    }

    FaceButton {
        id: folderButton

        objectName: "folderButton"
        anchors.left: buildButton.left
        anchors.leftMargin: -59
        anchors.bottom: profileBox.bottom
        anchors.bottomMargin: -45
        enabled: !window.launcherUpdates.installing
        tip: Loc.t.app.tooltip.openMods
        idleFace: "images/Folder/Folder_Idle.svg"
        hoverFace: "images/Folder/Folder_Active.svg"
        pressedFace: "images/Folder/Folder_Pressed.svg"
        onClicked: window.backend.openMinecraftFolder()
    }

    FaceButton {
        id: settingsButton

        objectName: "settingsButton"
        anchors.left: folderButton.right
        anchors.leftMargin: 8
        anchors.verticalCenter: folderButton.verticalCenter
        enabled: window.idle
        tip: Loc.t.app.tooltip.settings
        idleFace: "images/Options/Options_Idle.svg"
        hoverFace: "images/Options/Options_Pressed.svg"
        pressedFace: "images/Options/Options_active.svg"
        onClicked: window.dialogs().settings.load()
    }

    PlateButton {
        id: seasonsButton

        objectName: "seasonsButton"
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.margins: 24
        enabled: !window.launcherUpdates.installing
        open: window.seasonalOpen
        ToolTip.visible: hovered
        ToolTip.text: Loc.t.app.tooltip.seasonal
        onClicked: window.openSeasonal()

        contentItem: Text {
            text: Loc.t.common.title.seasonalBuilds
            color: "white"
            font.pixelSize: 14
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
            elide: Text.ElideRight
        }
    }

    // The progress panels stand above the overlay that holds the dialogs and
    // their dimming, as the toast does, so work started in a dialog shows its
    // progress over it. While a popup is open they take no input: a press on
    // them reaches the popup or its overlay as it would without them.
    ProgressPanel {
        id: downloadPanel

        readonly property bool selfUpdate: window.launcherUpdates.installing

        objectName: "downloadPanel"
        z: T.Overlay.overlay.z + 1
        enabled: !T.Overlay.overlay.visible
        x: 24
        y: window.height - height - 24
        visible: selfUpdate || window.backend.downloading
        // The version comes from the launcher versions dialog, where the
        // self-update was started.
        title: Loc.t.common.progress.downloadingNamed.arg(
                   selfUpdate ? dialogHost.item?.versions.selectedVersion ?? ""
                              : window.backend.downloadVersion)
        fraction: selfUpdate ? window.launcherUpdates.downloadProgress
                             : window.backend.downloadProgress
        status: selfUpdate ? Loc.t.app.status.downloadingInstaller : window.backend.downloadStatus
        detail: selfUpdate || window.backend.downloadBytesTotal <= 0
                ? ""
                : window.fill(Loc.t.common.progress.bytes, window.backend.downloadStatus,
                              window.formatMb(window.backend.downloadBytesDone),
                              window.formatMb(window.backend.downloadBytesTotal))
        onCancelRequested: {
            if (window.launcherUpdates.installing)
                window.launcherUpdates.cancelDownload();
            else
                window.backend.cancelDownload();
        }
    }

    ProgressPanel {
        id: switchPanel

        objectName: "switchPanel"
        z: T.Overlay.overlay.z + 1
        enabled: !T.Overlay.overlay.visible
        x: 24
        y: window.height - height - 24
        visible: window.backend.switching && !window.launcherUpdates.installing
        title: window.backend.switchStage
        fraction: window.backend.switchProgress
        status: window.backend.switchStatus
        cancellable: false
    }

    // Refusals of actions started in a dialog come back here, so the toast stands
    // above the overlay that holds the dialogs and their dimming and reads the
    // same over them as over the bare window, above the progress panels too. It
    // takes no input: clicks on it reach whatever lies beneath.
    Rectangle {
        id: toast

        objectName: "toast"
        z: T.Overlay.overlay.z + 1
        anchors.horizontalCenter: parent.horizontalCenter
        y: window.height - (window.toastRaised ? 110 : 40) - height
        width: Math.min(window.toastRaised ? window.width - 80 : window.toastRoomBesideButton,
                        toastLabel.implicitWidth + 32)
        height: toastLabel.height + 20
        radius: 8
        visible: toastLabel.text !== ""

        Text {
            id: toastLabel

            objectName: "toastLabel"
            anchors.centerIn: parent
            width: toast.width - 32
            textFormat: Text.PlainText
            color: "white"
            font.pixelSize: 14
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
        }

        Timer {
            id: toastTimer

            objectName: "toastTimer"
            interval: 4000
            onTriggered: toastLabel.text = ""
        }
    }

    Loader {
        id: buildsLoader

        active: false
        sourceComponent: BuildsDialog {
            objectName: "buildsDialog"
            parent: window.contentItem
            backend: window.backend
        }
    }

    Loader {
        id: seasonalLoader

        active: false
        sourceComponent: SeasonalBuildsDialog {
            objectName: "seasonalDialog"
            parent: window.contentItem
            backend: window.backend
        }
    }

    // The profile dialogs, the two-factor prompt, the settings with their Java
    // runtime picker and the launcher's releases are made once the first frame is
    // out, so they add nothing to it; a request sooner has them made at once
    // (dialogs()).
    Loader {
        id: dialogHost

        anchors.fill: parent
        active: false
        asynchronous: true

        sourceComponent: Component {
            Item {
                readonly property alias settings: settingsDialog
                readonly property alias javaPicker: javaPicker
                readonly property alias versions: launcherVersions
                readonly property alias addProfile: addProfileDialog
                readonly property alias editProfile: editProfileDialog
                readonly property alias twoFactor: twoFactorDialog

                FormDialog {
                    id: addProfileDialog

                    objectName: "addProfileDialog"
                    title: Loc.t.profile.title.new
                    acceptText: Loc.t.common.button.add

                    function clear() {
                        pfName.text = "";
                        pfLogin.text = "";
                        pfPassword.text = "";
                        pfAuth.currentIndex = 0;
                    }

                    onAccepted: {
                        const type = pfAuth.currentValue;
                        if (pfName.text.trim() !== "") {
                            window.backend.addProfile(pfName.text, pfLogin.text, pfPassword.text, type);
                            const added = window.backend.profileNames.length - 1;
                            profileBox.currentIndex = added;
                            if (type === "microsoft")
                                window.backend.startMicrosoftLogin(added);
                        }
                        clear();
                    }
                    onRejected: clear()

                    FormField {
                        id: pfName

                        objectName: "pfName"
                        focus: true
                        placeholderText: Loc.t.profile.placeholder.name
                    }
                    FormField {
                        id: pfLogin

                        objectName: "pfLogin"
                        visible: pfAuth.currentValue !== "microsoft"
                        placeholderText: Loc.t.profile.placeholder.login
                    }
                    FormField {
                        id: pfPassword

                        objectName: "pfPassword"
                        visible: pfAuth.currentValue === "elyby"
                        echoMode: TextInput.Password
                        placeholderText: Loc.t.profile.placeholder.elyPassword
                    }
                    DarkCombo {
                        id: pfAuth

                        objectName: "pfAuth"
                        x: 20
                        width: parent.width - 40
                        height: 36
                        textRole: "label"
                        valueRole: "key"
                        model: window.accountKinds(window.backend.microsoftAvailable)
                    }
                }

                FormDialog {
                    id: editProfileDialog

                    property int editIndex: -1
                    property bool msProfile: false
                    property bool msLinked: false
                    property string msName: ""

                    function openFor(index) {
                        const profile = window.backend.profileAt(index);
                        editIndex = index;
                        epName.text = profile.name || "";
                        epLogin.text = profile.login || "";
                        epPassword.text = profile.password || "";
                        msProfile = profile.authType === "microsoft";
                        // The list holds the Microsoft kind by now; any other kind reads as offline.
                        epAuth.currentIndex = Math.max(0, epAuth.indexOfValue(profile.authType));
                        msLinked = profile.hasMicrosoftSession === true;
                        msName = profile.resolvedName || "";
                        profileBox.popup.close();
                        open();
                    }

                    function forget() {
                        editIndex = -1;
                        epName.text = "";
                        epLogin.text = "";
                        epPassword.text = "";
                    }

                    objectName: "editProfileDialog"
                    title: Loc.t.profile.title.edit
                    acceptText: Loc.t.common.button.ok

                    onAccepted: {
                        if (editIndex >= 0 && epName.text.trim() !== "")
                            window.backend.updateProfile(editIndex, epName.text, epLogin.text,
                                                         epPassword.text, epAuth.currentValue);
                        forget();
                    }
                    onRejected: forget()

                    FormField {
                        id: epName

                        objectName: "epName"
                        focus: true
                        placeholderText: Loc.t.profile.placeholder.name
                    }
                    FormField {
                        id: epLogin

                        objectName: "epLogin"
                        visible: epAuth.currentValue !== "microsoft"
                        placeholderText: Loc.t.profile.placeholder.login
                    }
                    FormField {
                        objectName: "epMsLogin"
                        visible: epAuth.currentValue === "microsoft" && editProfileDialog.msName !== ""
                        readOnly: true
                        text: editProfileDialog.msName
                        focusedBorder: Theme.fieldBorder
                    }
                    FormField {
                        id: epPassword

                        objectName: "epPassword"
                        visible: epAuth.currentValue === "elyby"
                        echoMode: TextInput.Password
                        placeholderText: Loc.t.profile.placeholder.elyPassword
                    }
                    DarkCombo {
                        id: epAuth

                        objectName: "epAuth"
                        x: 20
                        width: parent.width - 40
                        height: 36
                        textRole: "label"
                        valueRole: "key"
                        model: window.accountKinds(window.backend.microsoftAvailable
                                                   || editProfileDialog.msProfile)
                    }
                    Column {
                        x: 20
                        width: parent.width - 40
                        spacing: 8
                        visible: epAuth.currentValue === "microsoft"

                        Text {
                            objectName: "msStatus"
                            text: editProfileDialog.msLinked ? Loc.t.auth.status.signedIn
                                                             : Loc.t.auth.status.signedOut
                            color: editProfileDialog.msLinked ? Theme.accent : Theme.caption
                            font.pixelSize: 13
                        }

                        DarkButton {
                            objectName: "msSignIn"
                            width: parent.width
                            height: 34
                            face: Theme.accent
                            pressedFace: Theme.accentPressed
                            fadeWhenDisabled: false
                            // These two labels are the same in every language.
                            text: editProfileDialog.msLinked ? "Войти заново" : "Войти в Microsoft"
                            enabled: window.backend.microsoftAvailable
                            onClicked: {
                                const index = editProfileDialog.editIndex;
                                window.backend.updateProfile(index, epName.text, epLogin.text,
                                                             epPassword.text, "microsoft");
                                editProfileDialog.close();
                                window.backend.startMicrosoftLogin(index);
                            }
                        }
                    }
                }

                FormDialog {
                    id: twoFactorDialog

                    property string profileName: ""

                    function ask(name) {
                        profileName = name;
                        twoFactorCode.text = "";
                        open();
                    }

                    objectName: "twoFactorDialog"
                    title: Loc.t.auth.ely.title.twoFactor
                    titleSize: 15
                    acceptText: Loc.t.common.button.signIn
                    // Only the buttons and Enter in the code field close it.
                    closePolicy: Popup.NoAutoClose
                    // The backend trims and checks the code itself.
                    onAccepted: window.backend.submitTwoFactorCode(twoFactorCode.text)
                    onRejected: window.backend.cancelPendingLaunch()

                    Text {
                        objectName: "twoFactorHint"
                        x: 20
                        width: parent.width - 40
                        text: Loc.t.auth.ely.hint.enterCode.arg(twoFactorDialog.profileName)
                        textFormat: Text.PlainText
                        color: Theme.caption
                        font.pixelSize: 12
                        wrapMode: Text.Wrap
                    }
                    FormField {
                        id: twoFactorCode

                        objectName: "twoFactorCode"
                        focus: true
                        placeholderText: "000000"
                        inputMethodHints: Qt.ImhDigitsOnly
                    }
                }

                SettingsDialog {
                    id: settingsDialog

                    objectName: "settingsDialog"
                    backend: window.backend
                    onJavaRuntimeWanted: (runtimeId, requiredMajor) => {
                        javaPicker.openFor(runtimeId, requiredMajor);
                    }
                }

                JavaPickerDialog {
                    id: javaPicker

                    objectName: "javaPicker"
                    backend: window.backend
                    onRuntimeChosen: runtimeId => settingsDialog.javaRuntimeId = runtimeId
                }

                LauncherVersionsDialog {
                    id: launcherVersions

                    objectName: "launcherVersions"
                    parent: T.Overlay.overlay
                    updates: window.launcherUpdates
                }
            }
        }
    }

    // A text field of the dialogs, inset 20 px on each side of their body.
    component FormField: DarkField {
        x: 20
        width: parent.width - 40
        height: 36
    }
}
