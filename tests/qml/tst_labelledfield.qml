import QtQuick
import QtTest
import Hollowmere

Item {
    width: 400
    height: 200

    LabelledField {
        id: labelled

        width: 200
        label: "Window width"
        validator: IntValidator {
            bottom: 0
            top: 10000
        }
    }

    TestCase {
        name: "LabelledField"
        when: windowShown

        SignalSpy {
            id: finishedSpy

            target: labelled
            signalName: "editingFinished"
        }

        function test_editingFinishedOnlyWhenEditingEnds() {
            const field = findChild(labelled, "field");
            labelled.text = "12";
            compare(field.text, "12");
            field.forceActiveFocus();
            field.cursorPosition = field.length;
            keyClick(Qt.Key_3);
            compare(labelled.text, "123");
            compare(finishedSpy.count, 0);
            keyClick(Qt.Key_Return);
            compare(finishedSpy.count, 1);
            // Input the validator refuses does not finish editing.
            labelled.text = "";
            keyClick(Qt.Key_Minus);
            keyClick(Qt.Key_Return);
            compare(finishedSpy.count, 1);
        }
    }
}
