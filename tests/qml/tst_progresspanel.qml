import QtQuick
import QtTest
import Hollowmere

Item {
    width: 400
    height: 200

    ProgressPanel {
        id: panel
    }

    TestCase {

        name: "ProgressPanel"
        when: windowShown

        SignalSpy {
            id: cancelSpy

            target: panel
            signalName: "cancelRequested"
        }

        function init() {
            panel.fraction = -1;
            panel.status = "";
            panel.detail = "";
            panel.cancellable = true;
            cancelSpy.clear();
        }

        function test_percent_data() {
            return [
                { tag: "unknown", fraction: -1, text: "…", filled: false },
                { tag: "zero", fraction: 0, text: "0%", filled: false },
                { tag: "sliver", fraction: 0.004, text: "0%", filled: true },
                { tag: "half", fraction: 0.5, text: "50%", filled: true },
                { tag: "half up", fraction: 0.125, text: "13%", filled: true },
                { tag: "full", fraction: 1, text: "100%", filled: true }
            ];
        }

        function test_percent(data) {
            panel.fraction = data.fraction;
            compare(findChild(panel, "percent").text, data.text);
            const fill = findChild(panel, "fill");
            const track = fill.parent;
            tryCompare(fill, "width", data.filled ? track.width * data.fraction : 0);
            verify((fill.width > 0) === data.filled);
        }

        function test_detailReplacesStatus() {
            const line = findChild(panel, "line");
            panel.status = "Fetching libraries";
            compare(line.text, "Fetching libraries");
            panel.detail = "1.5 / 3.0 MB";
            compare(line.text, "1.5 / 3.0 MB");
        }

        function test_cancel() {
            const cross = findChild(panel, "cancel");
            // The click area reaches beyond the glyph.
            mouseClick(cross, cross.width + 4, cross.height / 2);
            compare(cancelSpy.count, 1);

            panel.cancellable = false;
            verify(!cross.visible);
            mouseClick(panel, cross.x + cross.width / 2, cross.y + cross.height / 2);
            compare(cancelSpy.count, 1);
        }
    }
}
