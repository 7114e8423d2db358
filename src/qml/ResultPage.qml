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
        resultButton.forceActiveFocus(reason);
    }

    Label {
        objectName: "resultTitle"
        text: page.backend.state === Backend.Done
              ? qsTr("Done")
              : page.backend.state === Backend.Cancelled ? qsTr("Cancelled") : qsTr("Write failed")
        font.pixelSize: 20
    }
    Label {
        objectName: "resultText"
        text: page.backend.state === Backend.Done
              ? qsTr("The SD card is ready, you can remove it.")
              : page.backend.errorMessage
        textFormat: Text.PlainText
        wrapMode: Text.WordWrap
        Layout.fillWidth: true
    }

    Item {
        Layout.fillHeight: true
    }

    Button {
        id: resultButton

        objectName: "resultButton"
        text: page.backend.state === Backend.Done ? qsTr("Write another SD card") : qsTr("Back")
        Accessible.name: text
        highlighted: page.backend.state === Backend.Done
        onClicked: page.backend.reset()
        Layout.alignment: Qt.AlignRight
    }
}
