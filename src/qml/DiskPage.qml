pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tessaro

Item {
    id: page

    required property Backend backend

    // Called when the page appears. The erase question a retry asks keeps
    // the focus it took.
    function focusFirstChoice(reason: int) {
        if (confirmDialog.visible)
            return;
        if (!diskScroll.focusFirst(reason))
            verifyCheckBox.forceActiveFocus(reason);
    }

    // Enter on a card, or on the check box, asks to write.
    function pressWrite() {
        if (writeButton.enabled)
            writeButton.clicked();
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 16

        Label {
            id: title

            text: qsTr("Choose the SD card")
            font.pixelSize: 20
        }
        Label {
            objectName: "imageLabel"
            text: page.backend.imageName !== ""
                  ? page.backend.imageName
                  : page.backend.productName + " · " + page.backend.deviceName
            textFormat: Text.PlainText
            opacity: 0.7
            elide: Text.ElideMiddle
            Layout.fillWidth: true
        }
        Label {
            objectName: "noDiskHint"
            visible: page.backend.disks.length === 0
            text: qsTr("Insert a microSD card or a USB stick: it will appear here.")
            wrapMode: Text.WordWrap
            Layout.fillWidth: true
        }

        // A card reader with many slots scrolls here, so that the choices
        // and buttons below stay on the window.
        ScrollList {
            id: diskScroll

            objectName: "diskScroll"
            contentHeight: diskList.height
            rows: diskRepeater
            Accessible.role: Accessible.List
            Accessible.name: title.text
            onAccepted: page.pressWrite()
            onRowsGone: (reason) => verifyCheckBox.forceActiveFocus(reason)

            // A positioner rather than a nested layout: Qt 6.4 leaves the rows of a
            // layout nested in this page's column unarranged once the page has
            // been hidden.
            Column {
                id: diskList
                objectName: "diskList"
                width: diskScroll.width - (diskScroll.bar.visible ? diskScroll.bar.width : 0)

                Repeater {
                    id: diskRepeater

                    model: page.backend.disks

                    // Disks too small for the image stay listed, disabled, with the reason.
                    ItemDelegate {
                        id: diskDelegate

                        required property var modelData
                        required property int index

                        objectName: "diskDelegate"
                        width: diskList.width
                        enabled: modelData.enabled
                        highlighted: page.backend.diskId === modelData.id
                        focusPolicy: Qt.StrongFocus
                        Accessible.name: [modelData.model, modelData.size, modelData.device]
                                         .filter(part => part !== "").join(", ")
                        Accessible.description: modelData.reason
                        Accessible.selected: highlighted
                        onClicked: page.backend.selectDisk(modelData.id)
                        onActiveFocusChanged: if (activeFocus) diskScroll.rowFocused(index)

                        contentItem: ColumnLayout {
                            spacing: 2

                            Label {
                                objectName: "diskTitle"
                                text: diskDelegate.modelData.model !== ""
                                      ? diskDelegate.modelData.model + " — " + diskDelegate.modelData.size
                                      : diskDelegate.modelData.size
                                textFormat: Text.PlainText
                                font.bold: true
                                color: diskDelegate.highlighted ? palette.highlightedText : palette.text
                                elide: Text.ElideRight
                                Layout.fillWidth: true
                            }
                            Label {
                                objectName: "diskDetails"
                                text: diskDelegate.modelData.enabled
                                      ? diskDelegate.modelData.device
                                      : diskDelegate.modelData.device + " · " + diskDelegate.modelData.reason
                                textFormat: Text.PlainText
                                opacity: 0.8
                                color: diskDelegate.highlighted ? palette.highlightedText : palette.text
                                elide: Text.ElideRight
                                Layout.fillWidth: true
                            }
                        }
                    }
                }
            }
        }

        Label {
            objectName: "setupNotice"
            visible: page.backend.setupProductName !== ""
            text: qsTr("The SD card will be set up as %1.").arg(page.backend.setupProductName)
            textFormat: Text.PlainText
            font.bold: true
            wrapMode: Text.WordWrap
            Layout.fillWidth: true
        }
        Label {
            objectName: "withoutSetupNotice"
            visible: page.backend.writeWithoutSetup
            text: qsTr("The image is written as it is: the SD card will not be set up as %1.")
                  .arg(page.backend.productName)
            textFormat: Text.PlainText
            font.bold: true
            wrapMode: Text.WordWrap
            Layout.fillWidth: true
        }
        CheckBox {
            id: verifyCheckBox

            objectName: "verifyCheckBox"
            text: qsTr("Verify after writing")
            Accessible.name: text
            checked: page.backend.verify
            onToggled: page.backend.verify = checked
            Keys.onReturnPressed: page.pressWrite()
            Keys.onEnterPressed: page.pressWrite()
        }

        RowLayout {
            Button {
                objectName: "diskBackButton"
                text: qsTr("Back")
                Accessible.name: text
                onClicked: page.backend.back()
            }
            Item {
                Layout.fillWidth: true
            }
            Button {
                id: writeButton

                objectName: "writeButton"
                text: qsTr("Write")
                Accessible.name: text
                enabled: page.backend.canWrite
                highlighted: true
                onClicked: confirmDialog.open()
            }
        }
    }

    Dialog {
        id: confirmDialog

        // The image and the disk as they were when the dialog opened: the
        // question names them, and any later change of the chosen disk
        // withdraws the question.
        property string diskName
        property string diskSize
        property string image
        property string imageSize
        property string setup

        // Whether the keyboard brought the question up: its focus frame shows then.
        property bool byKeyboard

        objectName: "confirmDialog"
        parent: Overlay.overlay
        anchors.centerIn: parent
        width: Math.min(page.width, 420)
        modal: true
        focus: true
        title: qsTr("Erase the SD card?")

        onAboutToShow: {
            confirmDialog.diskName = page.backend.diskName;
            confirmDialog.diskSize = page.backend.diskSize;
            const focused = page.Window.activeFocusItem;
            confirmDialog.byKeyboard = focused !== null
                    && (focused.focusReason === Qt.TabFocusReason || focused.focusReason === Qt.BacktabFocusReason);
            confirmDialog.image = page.backend.imageDescription;
            confirmDialog.imageSize = page.backend.imageSizeText;
            confirmDialog.setup = page.backend.setupProductName !== ""
                    ? qsTr("The SD card will be set up as %1.").arg(page.backend.setupProductName)
                    : page.backend.writeWithoutSetup
                      ? qsTr("The SD card will not be set up as %1.").arg(page.backend.productName)
                      : "";
        }
        // Cancel takes the focus: Enter erases the card only once the user has
        // moved to "Erase and write". Escape cancels.
        onOpened: confirmCancelButton.forceActiveFocus(confirmDialog.byKeyboard ? Qt.TabFocusReason : Qt.OtherFocusReason)
        onRejected: if (writeButton.enabled) writeButton.forceActiveFocus(confirmDialog.byKeyboard ? Qt.TabFocusReason : Qt.OtherFocusReason)
        onAccepted: page.backend.startWrite()

        contentItem: ColumnLayout {
            spacing: 8

            Label {
                objectName: "confirmImage"
                text: confirmDialog.imageSize !== ""
                      ? qsTr("Image: %1 (%2)").arg(confirmDialog.image).arg(confirmDialog.imageSize)
                      : qsTr("Image: %1").arg(confirmDialog.image)
                textFormat: Text.PlainText
                wrapMode: Text.WordWrap
                Layout.fillWidth: true
            }
            Label {
                objectName: "confirmSetup"
                visible: confirmDialog.setup !== ""
                text: confirmDialog.setup
                textFormat: Text.PlainText
                wrapMode: Text.WordWrap
                Layout.fillWidth: true
            }
            Label {
                objectName: "confirmText"
                text: qsTr("All data on %1 (%2) will be erased.").arg(confirmDialog.diskName).arg(confirmDialog.diskSize)
                textFormat: Text.PlainText
                font.bold: true
                wrapMode: Text.WordWrap
                Layout.fillWidth: true
            }
        }

        footer: DialogButtonBox {
            // Enter presses the focused button, as Space does.
            Button {
                objectName: "confirmEraseButton"
                text: qsTr("Erase and write")
                Accessible.name: text
                highlighted: true
                DialogButtonBox.buttonRole: Dialog.AcceptRole
                Keys.onReturnPressed: clicked()
                Keys.onEnterPressed: clicked()
            }
            Button {
                id: confirmCancelButton

                objectName: "confirmCancelButton"
                text: qsTr("Cancel")
                Accessible.name: text
                DialogButtonBox.buttonRole: Dialog.RejectRole
                Keys.onReturnPressed: clicked()
                Keys.onEnterPressed: clicked()
            }
        }
    }

    // A retry asks the question again, for the same image and disk.
    Connections {
        target: page.backend

        function onConfirmationRequested() {
            confirmDialog.open();
        }
    }

    // The card named in the question was removed or replaced, or the choice was
    // cleared: the user has to confirm again.
    Connections {
        target: page.backend
        enabled: confirmDialog.visible

        function onDiskChanged() {
            if (page.backend.diskName !== confirmDialog.diskName
                    || page.backend.diskSize !== confirmDialog.diskSize)
                confirmDialog.reject();
        }
    }
}
