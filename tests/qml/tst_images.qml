import QtQuick
import QtTest

Item {
    width: 400
    height: 200

    Image {
        id: face

        width: 335
        height: 170
    }

    TestCase {
        name: "Images"
        when: windowShown

        readonly property string base: "qrc:/qt/qml/Hollowmere/images/"

        function test_everyImageLoads_data() {
            return [
                { tag: "Play_Button/Play_Active.svg", size: Qt.size(335, 170) },
                { tag: "Play_Button/Play_pressed.svg", size: Qt.size(335, 170) },
                { tag: "Folder/Folder_Idle.svg", size: Qt.size(70, 40) },
                { tag: "Folder/Folder_Active.svg", size: Qt.size(70, 40) },
                { tag: "Folder/Folder_Pressed.svg", size: Qt.size(70, 40) },
                { tag: "Options/Options_Idle.svg", size: Qt.size(70, 40) },
                { tag: "Options/Options_Pressed.svg", size: Qt.size(70, 40) },
                { tag: "Options/Options_active.svg", size: Qt.size(70, 40) },
                { tag: "Profile_Box/Asset_23.svg", size: Qt.size(11, 6) },
                { tag: "Profile_Box/Asset_24.svg", size: Qt.size(11, 6) },
                { tag: "Pencil.svg", size: Qt.size(16, 16) },
                { tag: "Trash.svg", size: Qt.size(16, 16) },
                { tag: "ExternalLink.svg", size: Qt.size(16, 16) },
                { tag: "launcherBackground.png", size: Qt.size(2880, 1620) }
            ];
        }

        function test_everyImageLoads(data) {
            face.source = base + data.tag;
            tryCompare(face, "status", Image.Ready);
            compare(face.implicitWidth, data.size.width);
            compare(face.implicitHeight, data.size.height);
        }

        // The faces are SVG: drawn only when the image-format plugin is present.
        function test_playFaceIsDrawn() {
            face.source = base + "Play_Button/Play_Active.svg";
            tryCompare(face, "status", Image.Ready);
            const shot = grabImage(face);
            compare(shot.pixel(167, 10), Qt.color("#637a10"));
            compare(shot.pixel(54, 85), Qt.color("#e6e6e6"));
        }
    }
}
