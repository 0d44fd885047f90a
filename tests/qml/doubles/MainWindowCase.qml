import QtQuick
import QtTest

// A test case over the launcher's window. By default doubles stand in for the
// backend and the update model, reset before every test; without them the
// window makes its own, as when the launcher starts.
TestCase {
    property bool withDoubles: true
    property BackendDouble backend: BackendDouble {}
    property UpdatesDouble updates: UpdatesDouble {}
    property var window: null
    // What the update model and the backend were asked while the window and
    // the dialogs it makes after its first frame came up.
    property var startCalls: []
    property var startBackendCalls: []
    // The builds and seasonal builds dialogs as the window came up.
    property var dialogsAtStart: []

    // An item of the window, or of a popup's body or footer, by object name.
    function child(name, popup) {
        // The dialogs made after the first frame live in their own host item.
        const found = popup ? findChild(popup.contentItem, name) || findChild(popup.footer, name)
                            : findChild(window.contentItem, name)
                              || findChild(window.dialogs(), name);
        verify(found, name);
        return found;
    }

    // A non-visual object (a timer, a tool tip) declared inside owner.
    function resource(owner, name) {
        return Array.from(owner.data).find(object => object.objectName === name);
    }

    function openProfilePopup() {
        mouseClick(child("profileBox"));
        tryCompare(child("profileBox").popup, "opened", true);
        return child("profileBox").popup;
    }

    // The edit or remove icon of a row of the open profile popup, shown by hovering.
    function rowIcon(index, name) {
        const list = child("profileItemList", child("profileBox").popup);
        tryVerify(() => list.itemAtIndex(index) !== null);
        mouseMove(list.itemAtIndex(index), 20, 20);
        tryVerify(() => findChild(list.itemAtIndex(index), name).visible);
        return findChild(list.itemAtIndex(index), name);
    }

    function accept(dialog) {
        mouseClick(child("acceptButton", dialog));
        tryCompare(dialog, "visible", false);
    }

    function initTestCase() {
        const component = Qt.createComponent("qrc:/qt/qml/Hollowmere/Main.qml");
        verify(component.status === Component.Ready, component.errorString());
        window = component.createObject(null, withDoubles ? { backend: backend,
                                                              launcherUpdates: updates } : {});
        tryCompare(window.contentItem, "width", 1280);
        window.requestActivate();
        tryCompare(window, "active", true);
        // The release feed is asked for once the first frame is out.
        tryVerify(() => !withDoubles || updates.calls.length > 0);
        wait(50);
        startCalls = updates.calls.slice();
        window.dialogs();
        startBackendCalls = backend.calls.slice();
        dialogsAtStart = [window.buildsDialog, window.seasonalDialog];
    }

    function init() {
        backend.reset();
        updates.reset();
        window.width = 1280;
        window.height = 720;
        tryCompare(window.contentItem, "height", 720);
        window.showToast("", "#000000", 0);
    }

    function cleanup() {
        for (const name of ["addProfileDialog", "editProfileDialog", "twoFactorDialog"])
            child(name).close();
        child("profileBox").popup.close();
        for (const dialog of [window.buildsDialog, window.seasonalDialog]) {
            if (dialog)
                dialog.close();
        }
        tryVerify(() => !child("profileBox").popup.visible && !child("twoFactorDialog").visible);
    }

    function cleanupTestCase() {
        window.destroy();
    }

    when: windowShown
}
