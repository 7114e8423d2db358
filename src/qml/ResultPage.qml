import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tessaro

ColumnLayout {
    id: page

    required property Backend backend

    readonly property bool succeeded: page.backend.state === Backend.Done

    spacing: 16

    // Called when the page appears: Retry first where it is offered.
    function focusFirstChoice(reason: int) {
        if (retryButton.visible)
            retryButton.forceActiveFocus(reason);
        else
            resultButton.forceActiveFocus(reason);
    }

    // The title says what failed: the download, with the card untouched, or
    // the write.
    Label {
        objectName: "resultTitle"
        text: page.succeeded
              ? qsTr("Done")
              : page.backend.state === Backend.Cancelled
                ? qsTr("Cancelled")
                : page.backend.downloadFailed ? qsTr("Download failed") : qsTr("Write failed")
        font.pixelSize: 20
    }
    Label {
        objectName: "resultText"
        text: page.succeeded
              ? qsTr("The SD card is ready, you can remove it.")
              : page.backend.errorMessage
        textFormat: Text.PlainText
        wrapMode: Text.WordWrap
        Layout.fillWidth: true
    }

    // What was written and checked.
    GridLayout {
        objectName: "writeAccount"
        visible: page.succeeded
        columns: 2
        columnSpacing: 12
        rowSpacing: 4
        Layout.fillWidth: true

        Label {
            text: qsTr("Image")
            opacity: 0.7
        }
        Label {
            objectName: "accountImage"
            text: page.backend.writeName
            textFormat: Text.PlainText
            elide: Text.ElideMiddle
            Layout.fillWidth: true
        }
        Label {
            text: qsTr("SD card")
            opacity: 0.7
        }
        Label {
            objectName: "accountDisk"
            text: page.backend.writtenDisk
            textFormat: Text.PlainText
            elide: Text.ElideMiddle
            Layout.fillWidth: true
        }
        Label {
            text: qsTr("Time")
            opacity: 0.7
        }
        Label {
            objectName: "accountTime"
            text: page.backend.writeDuration
        }
        Label {
            text: qsTr("Check")
            opacity: 0.7
        }
        Label {
            objectName: "accountCheck"
            text: page.backend.verified ? qsTr("verified") : qsTr("not verified")
        }
        Label {
            text: "SHA-256"
            opacity: 0.7
        }
        // Selectable, to be compared with the maker's digest.
        TextEdit {
            objectName: "accountSha256"
            text: page.backend.imageSha256
            readOnly: true
            selectByMouse: true
            font.family: "monospace"
            font.pixelSize: 12
            color: palette.text
            selectionColor: palette.highlight
            selectedTextColor: palette.highlightedText
            wrapMode: TextEdit.WrapAnywhere
            Layout.fillWidth: true
        }
    }
    Label {
        objectName: "ejectMessage"
        visible: page.succeeded && page.backend.ejectMessage !== ""
        text: page.backend.ejectMessage
        textFormat: Text.PlainText
        wrapMode: Text.WordWrap
        Layout.fillWidth: true
    }

    Item {
        Layout.fillHeight: true
    }

    // Anchors rather than a nested layout: Qt 6.4 leaves a row layout nested
    // in this page unarranged when its buttons change while the page is
    // hidden, and "Write another SD card" ran off the window.
    Item {
        implicitHeight: Math.max(ejectButton.implicitHeight, resultButtons.implicitHeight)
        Layout.fillWidth: true

        // Where the system can power the card's drive off.
        Button {
            id: ejectButton

            objectName: "ejectButton"
            anchors.left: parent.left
            visible: page.backend.canEject || page.backend.ejecting
            enabled: !page.backend.ejecting
            text: qsTr("Eject")
            Accessible.name: text
            onClicked: page.backend.eject()
        }
        Row {
            id: resultButtons

            anchors.right: parent.right
            spacing: 12

            Button {
                id: retryButton

                objectName: "retryButton"
                visible: page.backend.canRetry
                text: qsTr("Retry")
                Accessible.name: text
                highlighted: true
                onClicked: page.backend.retry()
            }
            Button {
                id: resultButton

                objectName: "resultButton"
                text: page.succeeded ? qsTr("Write another SD card") : qsTr("Back")
                Accessible.name: text
                highlighted: page.succeeded
                onClicked: page.backend.reset()
            }
        }
    }
}
