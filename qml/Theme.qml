pragma Singleton

import QtQuick

// The launcher's palette, one entry per role: a colour that merely happens to
// equal another stays a role of its own, so each can change alone.
QtObject {
    // Selection, focus, hover borders, primary buttons and progress bars.
    readonly property color accent: "#91B315"
    readonly property color accentPressed: "#6a8510"
    // Marks and texts drawn on an accent fill.
    readonly property color inkOnAccent: "#1e1e1e"
    // Dialogs and panels.
    readonly property color card: "#1e1e1e"
    readonly property color separator: "#333333"
    readonly property color button: "#333333"
    readonly property color buttonPressed: "#444444"
    // Input fields, drop-down lists and check boxes.
    readonly property color field: "#2a2a2a"
    readonly property color fieldBorder: "#444444"
    // The main window's controls and list rows at rest.
    readonly property color plate: "#232323"
    // A row under the pointer or pressed.
    readonly property color rowLit: "#2d2d2d"
    readonly property color caption: "#aaaaaa"
    readonly property color secondary: "#888888"
    // Placeholders, a choice not made yet, crosses at rest and disabled labels.
    readonly property color faint: "#666666"
    // Errors and warnings, and what removes something.
    readonly property color warning: "#cc6666"

    readonly property color toastSuccess: "#4b7a1f"
    readonly property color toastProgress: "#3a5a8c"
    readonly property color toastError: "#cc3333"
    readonly property color toastNeutral: "#555555"
}
