import QtQuick
import QtTest
import Hollowmere

Item {
    width: 400
    height: 400

    DarkCombo {
        id: combo

        width: 180
        height: 32
    }

    TestCase {
        name: "DarkCombo"
        when: windowShown

        function cleanup() {
            combo.popup.close();
            tryCompare(combo.popup, "visible", false);
        }

        function test_popupHeight_data() {
            const many = [];
            for (let i = 0; i < 40; ++i)
                many.push("1.20." + i);
            return [
                { tag: "few", model: ["Forge", "Fabric"], capped: false },
                { tag: "many", model: many, capped: true }
            ];
        }

        function test_popupHeight(data) {
            combo.model = data.model;
            mouseClick(combo);
            tryCompare(combo.popup, "opened", true);
            compare(combo.popup.y, combo.height);
            compare(combo.popup.width, combo.width);
            if (data.capped)
                compare(combo.popup.height, 220);
            else
                verify(combo.popup.height < 220 && combo.popup.height > 0);
        }

        function test_activation() {
            combo.model = ["ru", "en"];
            combo.currentIndex = 0;
            mouseClick(combo);
            tryCompare(combo.popup, "opened", true);
            keyClick(Qt.Key_Down);
            keyClick(Qt.Key_Return);
            compare(combo.currentIndex, 1);
            compare(combo.displayText, "en");
        }

        // Entries with a key show their label, in the box and in the list.
        function test_entriesWithTextRole() {
            combo.textRole = "label";
            combo.valueRole = "key";
            combo.model = [{ key: "offline", label: "Offline" }, { key: "elyby", label: "Ely.by" }];
            combo.currentIndex = 0;
            mouseClick(combo);
            tryCompare(combo.popup, "opened", true);
            const list = combo.popup.contentItem;
            tryVerify(() => list.itemAtIndex(1) !== null);
            compare(list.itemAtIndex(1).contentItem.text, "Ely.by");
            keyClick(Qt.Key_Down);
            keyClick(Qt.Key_Return);
            compare([combo.displayText, combo.currentValue], ["Ely.by", "elyby"]);
            combo.textRole = "";
            combo.valueRole = "";
        }
    }
}
