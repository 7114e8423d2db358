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
        cancelButton.forceActiveFocus(reason);
    }

    Label {
        objectName: "writeTitle"
        text: qsTr("Writing %1…").arg(page.backend.writeName)
        textFormat: Text.PlainText
        font.pixelSize: 20
        elide: Text.ElideMiddle
        Layout.fillWidth: true
    }
    Label {
        id: phaseLabel

        objectName: "phaseLabel"
        text: page.backend.cancelling ? qsTr("Cancelling…") : page.backend.phaseLabel
        textFormat: Text.PlainText
        font.bold: true
    }
    ProgressBar {
        objectName: "progressBar"
        Accessible.name: phaseLabel.text
        from: 0
        to: 1
        value: page.backend.progress
        Layout.fillWidth: true
    }
    // Whole percent, never rounded up: 100% appears only once everything is
    // done. The tiny allowance keeps a ratio such as 29/100, whose product with
    // 100 lands just below 29 in binary floating point, from showing 28%.
    Label {
        objectName: "progressDetails"
        text: qsTr("%1%").arg(page.backend.progress >= 1
                              ? 100
                              : Math.min(99, Math.floor(page.backend.progress * 100 + 1e-9)))
              + (page.backend.speedText !== "" ? " · " + page.backend.speedText : "")
              + (page.backend.timeLeftText !== "" ? " · " + page.backend.timeLeftText : "")
        elide: Text.ElideRight
        Layout.fillWidth: true
    }

    Item {
        Layout.fillHeight: true
    }

    Button {
        id: cancelButton

        objectName: "cancelWriteButton"
        text: qsTr("Cancel")
        Accessible.name: text
        enabled: !page.backend.cancelling
        onClicked: page.backend.cancel()
        Layout.alignment: Qt.AlignRight
    }
}
