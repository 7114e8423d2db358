import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

ToolBar {
    id: header

    required property string version

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 12
        anchors.rightMargin: 12
        spacing: 12

        Image {
            source: "qrc:/logo.png"
            sourceSize.width: 40
            sourceSize.height: 40
            Layout.preferredWidth: 40
            Layout.preferredHeight: 40
            fillMode: Image.PreserveAspectFit
            Accessible.ignored: true
        }
        Label {
            text: "Tessaro"
            font.pixelSize: 22
            font.bold: true
            Layout.fillWidth: true
        }
        Label {
            objectName: "versionLabel"
            text: qsTr("Version %1").arg(header.version)
            opacity: 0.7
        }
    }
}
