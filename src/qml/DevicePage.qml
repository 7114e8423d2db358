pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tessaro

ColumnLayout {
    id: page

    required property Backend backend

    spacing: 16

    Label {
        text: qsTr("Choose the device")
        font.pixelSize: 20
    }
    Label {
        objectName: "productNameLabel"
        text: page.backend.productName
        opacity: 0.7
    }

    Flow {
        objectName: "deviceGrid"
        spacing: 16
        Layout.fillWidth: true

        Repeater {
            model: page.backend.devices

            Button {
                required property var modelData

                objectName: "deviceButton"
                width: 200
                height: 64
                text: modelData.name
                font.pixelSize: 16
                highlighted: page.backend.deviceId === modelData.id
                onClicked: page.backend.selectDevice(modelData.id)
            }
        }
    }

    Item {
        Layout.fillHeight: true
    }

    Button {
        objectName: "deviceBackButton"
        text: qsTr("Back")
        onClicked: page.backend.back()
    }
}
