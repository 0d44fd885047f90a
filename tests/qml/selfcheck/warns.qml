import QtQuick
import QtTest

TestCase {
    name: "SelfCheck"

    function test_expectedWarningPasses() {
        ignoreWarning("an expected warning");
        console.warn("an expected warning");
    }

    function test_warnsOnce() {
        console.warn("a deliberate warning");
        verify(true);
    }
}
