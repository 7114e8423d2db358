import QtQuick
import QtQuick.Templates as T

// The keyboard focus, drawn alike on every control: a dark outline with a
// light line inside it, which shows on any background and differs from the
// highlight colour of a chosen row and of the default button. Only focus
// that came from the keyboard shows (the control's visualFocus).
Rectangle {
    id: frame

    required property Item target
    readonly property T.Control control: target as T.Control
    readonly property bool shown: control !== null && control.visualFocus

    objectName: "focusFrame"
    // Drawn over the focused control, inside its edges, so that it moves and
    // is clipped with it. It belongs to the window: a control that goes does
    // not take it along.
    parent: shown ? control : null
    visible: shown
    width: parent ? parent.width : 0
    height: parent ? parent.height : 0
    z: 1000
    color: "transparent"
    border.width: 2
    border.color: "#000000"
    radius: 2

    Rectangle {
        anchors.fill: parent
        anchors.margins: frame.border.width
        color: "transparent"
        border.width: 1
        border.color: "#ffffff"
    }
}
