import QtQuick
import QtQuick.Controls.Basic
import Hollowmere

// The launcher's settings: the language, the game directory, the Java executable
// or the managed runtime, memory, window size and JVM arguments. load() fills the
// form from the stored settings and opens it; Save stores them all at once.
FormDialog {
    id: dialog

    required property var backend

    // The managed runtime chosen here; stored only on Save.
    property string javaRuntimeId: ""
    property string resolvedGameDir: ""
    property var javaRuntimeInfo: null
    // Finding them runs every candidate Java to read its version, which can
    // take seconds: they are looked for when the dialog opens, never while
    // the window is built, and kept once some are found.
    property var detectedJava: []

    // The runtime picker is the window's: it is asked for with the runtime chosen
    // here and the active build's minimum Java major.
    signal javaRuntimeWanted(string runtimeId, int requiredMajor)

    function refreshJavaInfo() {
        javaRuntimeInfo = javaRuntimeId === "" ? null
                                               : dialog.backend.javaRuntimeInfo(javaRuntimeId);
    }

    function load() {
        const s = dialog.backend.settings();
        stGameDir.text = s.gameDir || "";
        stJavaPath.text = s.javaPath || "";
        javaRuntimeId = s.javaRuntime || "";
        // Also when the id is the same as last time: the runtime may have
        // been installed or removed since.
        refreshJavaInfo();
        stMinMemory.text = String(s.minMemoryMb ?? "");
        stMaxMemory.text = String(s.maxMemoryMb ?? "");
        stJvmArgs.text = s.jvmArgs || "";
        stWidth.text = String(s.windowWidth ?? "");
        stHeight.text = String(s.windowHeight ?? "");
        stFullscreen.checked = s.fullscreen === true;
        stLanguage.currentIndex = Math.max(0, stLanguage.codes.indexOf(s.language || "system"));
        resolvedGameDir = s.resolvedGameDir || "";
        if (detectedJava.length === 0)
            detectedJava = dialog.backend.detectedJava();
        open();
    }

    // The decimal integer a field starts with; 0 for anything else.
    function integerOf(field) {
        const value = parseInt(field.text, 10);
        return isNaN(value) ? 0 : value;
    }

    title: Loc.t.settings.title
    acceptText: Loc.t.common.button.save
    implicitWidth: 460
    bodySpacing: 10
    bodyPadding: 18
    onJavaRuntimeIdChanged: refreshJavaInfo()
    onAccepted: dialog.backend.updateSettings({
        gameDir: stGameDir.text,
        javaPath: stJavaPath.text,
        javaRuntime: javaRuntimeId,
        minMemoryMb: integerOf(stMinMemory),
        maxMemoryMb: integerOf(stMaxMemory),
        jvmArgs: stJvmArgs.text,
        windowWidth: integerOf(stWidth),
        windowHeight: integerOf(stHeight),
        fullscreen: stFullscreen.checked,
        language: stLanguage.codes[stLanguage.currentIndex] || "system"
    })

    Connections {
        target: dialog.backend

        function onJavaRuntimeInstalled(runtimeId) {
            dialog.refreshJavaInfo();
        }
    }

    Column {
        x: 20
        width: parent.width - 40
        spacing: 3

        Caption {
            text: Loc.t.settings.language.label
        }
        DarkCombo {
            id: stLanguage

            readonly property var codes: ["system", "ru", "en"]

            objectName: "stLanguage"
            width: parent.width
            height: 32
            model: [Loc.t.settings.language.system, Loc.t.settings.language.ru,
                Loc.t.settings.language.en]
        }
    }
    LabelledField {
        id: stGameDir

        objectName: "stGameDir"
        x: 20
        width: parent.width - 40
        label: Loc.t.settings.label.gameDir
        placeholder: Loc.t.settings.placeholder.gameDir
    }
    LabelledField {
        id: stJavaPath

        objectName: "stJavaPath"
        x: 20
        width: parent.width - 40
        label: Loc.t.settings.label.javaPath
        placeholder: Loc.t.settings.placeholder.javaPath
    }
    Column {
        x: 20
        width: parent.width - 40
        spacing: 3

        Caption {
            text: Loc.t.settings.label.javaRuntime
        }
        ChooserField {
            objectName: "javaRuntimeBox"
            width: parent.width
            height: 32
            chosen: dialog.javaRuntimeId !== ""
            text: {
                const info = dialog.javaRuntimeInfo;
                if (dialog.javaRuntimeId === "")
                    return Loc.t.settings.status.javaRuntimeNone;
                if (info === null)
                    return dialog.javaRuntimeId;
                return info.installed === true
                        ? info.label
                        : Loc.t.settings.status.javaRuntimeDownloading.arg(info.label);
            }
            textRoom: 150
            // "Choose…" stands where it does whether the clear mark shows or not.
            chooseInset: 12 + clearJava.width + 12
            clickRoom: 26
            valueText.objectName: "javaRuntimeText"
            clickArea.objectName: "javaFieldArea"
            onClicked: dialog.javaRuntimeWanted(dialog.javaRuntimeId,
                                                dialog.backend.requiredJavaMajor(
                                                    dialog.backend.activeBuildIndex))

            Text {
                id: clearJava

                objectName: "clearJava"
                anchors.right: parent.right
                anchors.rightMargin: 12
                anchors.verticalCenter: parent.verticalCenter
                visible: dialog.javaRuntimeId !== ""
                text: "✕"
                font.pixelSize: 12
                color: clearArea.containsMouse ? Theme.warning : Theme.faint

                MouseArea {
                    id: clearArea

                    anchors.fill: parent
                    anchors.margins: -6
                    hoverEnabled: true
                    onClicked: dialog.javaRuntimeId = ""
                }
            }
        }
    }
    // Four fields as wide as the column: 99 px and 8 px apart, where
    // 100 px and 10 px would run 10 px past it.
    Row {
        id: numberRow

        x: 20
        width: parent.width - 40
        spacing: 8

        LabelledField {
            id: stMinMemory

            objectName: "stMinMemory"
            width: (numberRow.width - 3 * numberRow.spacing) / 4
            label: Loc.t.settings.label.minMemory
            validator: IntValidator {
                bottom: 0
                top: 1048576
            }
        }
        LabelledField {
            id: stMaxMemory

            objectName: "stMaxMemory"
            width: (numberRow.width - 3 * numberRow.spacing) / 4
            label: Loc.t.settings.label.maxMemory
            validator: IntValidator {
                bottom: 0
                top: 1048576
            }
        }
        LabelledField {
            id: stWidth

            objectName: "stWidth"
            width: (numberRow.width - 3 * numberRow.spacing) / 4
            label: Loc.t.settings.label.windowWidth
            validator: IntValidator {
                bottom: 0
                top: 16384
            }
        }
        LabelledField {
            id: stHeight

            objectName: "stHeight"
            width: (numberRow.width - 3 * numberRow.spacing) / 4
            label: Loc.t.settings.label.windowHeight
            validator: IntValidator {
                bottom: 0
                top: 16384
            }
        }
    }
    LabelledField {
        id: stJvmArgs

        objectName: "stJvmArgs"
        x: 20
        width: parent.width - 40
        label: Loc.t.settings.label.jvmArgs
        placeholder: "-XX:+UseG1GC …"
    }
    CheckBox {
        id: stFullscreen

        objectName: "stFullscreen"
        x: 20
        spacing: 6
        text: Loc.t.settings.label.fullscreen

        indicator: Rectangle {
            x: stFullscreen.leftPadding
            anchors.verticalCenter: parent.verticalCenter
            width: 18
            height: 18
            radius: 4
            color: Theme.field
            border.width: 1
            border.color: stFullscreen.checked ? Theme.accent : Theme.fieldBorder

            FocusRing {
                visible: stFullscreen.visualFocus
            }

            Rectangle {
                anchors.centerIn: parent
                visible: stFullscreen.checked
                width: 10
                height: 10
                radius: 2
                color: Theme.accent
            }
        }

        contentItem: Text {
            leftPadding: stFullscreen.indicator.width + stFullscreen.spacing
            text: stFullscreen.text
            color: "white"
            verticalAlignment: Text.AlignVCenter
        }
    }
    Text {
        objectName: "stResolved"
        x: 20
        width: parent.width - 40
        wrapMode: Text.Wrap
        textFormat: Text.PlainText
        color: Theme.secondary
        font.pixelSize: 11
        text: Loc.t.settings.status.resolvedGameDir.arg(dialog.resolvedGameDir)
    }
    Text {
        objectName: "stJavaList"
        x: 20
        width: parent.width - 40
        wrapMode: Text.Wrap
        textFormat: Text.PlainText
        color: Theme.secondary
        font.pixelSize: 11
        text: dialog.detectedJava.length > 0 ? dialog.detectedJava.join("\n")
                                                     : Loc.t.settings.status.javaNotFound
    }
}
