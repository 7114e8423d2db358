import QtQuick
import QtQuick.Controls
import Tessaro

ApplicationWindow {
    required property Backend backend
    width: 640
    height: 480
    visible: true
    title: "Tessaro"
}
