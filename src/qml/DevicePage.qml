pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tessaro

ColumnLayout {
    id: page

    required property Backend backend

    spacing: 16

    // Called when the page appears.
    function focusFirstChoice(reason: int) {
        if (!deviceScroll.focusFirst(reason))
            backButton.forceActiveFocus(reason);
    }

    Label {
        id: title

        text: qsTr("Choose the device")
        font.pixelSize: 20
    }
    Label {
        objectName: "productNameLabel"
        text: page.backend.productName
        textFormat: Text.PlainText
        opacity: 0.7
    }

    // Many devices scroll here, so that Back stays on the window.
    ScrollList {
        id: deviceScroll

        objectName: "deviceScroll"
        contentHeight: deviceGrid.height
        rows: deviceRepeater
        Accessible.role: Accessible.List
        Accessible.name: title.text
        onRowsGone: (reason) => backButton.forceActiveFocus(reason)

        Flow {
            id: deviceGrid

            objectName: "deviceGrid"
            // Room for the bar whether it shows or not: a width that followed
            // the bar could wrap the grid differently and hide the bar again.
            width: deviceScroll.width - deviceScroll.bar.width
            spacing: 16

            Repeater {
                id: deviceRepeater

                model: page.backend.devices

                Button {
                    id: deviceButton

                    required property var modelData
                    required property int index

                    objectName: "deviceButton"
                    width: 200
                    height: 64
                    text: modelData.name
                    font.pixelSize: 16
                    highlighted: page.backend.deviceId === modelData.id
                    focusPolicy: Qt.StrongFocus
                    Accessible.name: modelData.name
                    onClicked: page.backend.selectDevice(modelData.id)
                    onActiveFocusChanged: if (activeFocus) deviceScroll.rowFocused(index)

                    // The button's own label would render a name holding
                    // markup as rich text.
                    contentItem: Label {
                        text: deviceButton.text
                        textFormat: Text.PlainText
                        font: deviceButton.font
                        color: deviceButton.palette.buttonText
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                        elide: Text.ElideRight
                    }
                }
            }
        }
    }

    Button {
        id: backButton

        objectName: "deviceBackButton"
        text: qsTr("Back")
        Accessible.name: text
        onClicked: page.backend.back()
    }
}
