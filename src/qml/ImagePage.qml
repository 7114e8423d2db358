pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts
import Tessaro

ColumnLayout {
    id: page

    required property Backend backend

    spacing: 16

    // Called when the page appears.
    function focusFirstChoice(reason: int) {
        if (!imageScroll.focusFirst(reason))
            localFileButton.forceActiveFocus(reason);
    }

    Label {
        id: title

        text: qsTr("Choose the image")
        font.pixelSize: 20
    }
    Label {
        objectName: "selectionLabel"
        visible: page.backend.productId !== ""
        text: page.backend.productName + " · " + page.backend.deviceName
        textFormat: Text.PlainText
        opacity: 0.7
    }

    // Many builds scroll here, so that the buttons below stay on the window.
    ScrollList {
        id: imageScroll

        objectName: "imageScroll"
        contentHeight: imageList.height
        rows: imageRepeater
        Accessible.role: Accessible.List
        Accessible.name: title.text
        // Enter on a build goes on with it.
        onAccepted: if (nextButton.enabled) nextButton.clicked()
        onRowsGone: (reason) => localFileButton.forceActiveFocus(reason)

        Column {
            id: imageList
            objectName: "imageList"
            width: imageScroll.width - (imageScroll.bar.visible ? imageScroll.bar.width : 0)

            Repeater {
                id: imageRepeater

                model: page.backend.images

                ItemDelegate {
                    id: imageDelegate

                    required property var modelData
                    required property int index

                    objectName: "imageDelegate"
                    width: imageList.width
                    // A build whose catalog entry cannot be right stays listed,
                    // disabled, with the reason.
                    enabled: modelData.enabled
                    highlighted: page.backend.imageId === modelData.id
                    focusPolicy: Qt.StrongFocus
                    // Read out as "Build 2.1, Stable, 12.7 MB download".
                    Accessible.name: modelData.extractSize !== ""
                                     ? qsTr("Build %1, %2, %3 download, %4 on the SD card")
                                       .arg(modelData.version).arg(modelData.name).arg(modelData.size)
                                       .arg(modelData.extractSize)
                                     : qsTr("Build %1, %2, %3 download")
                                       .arg(modelData.version).arg(modelData.name).arg(modelData.size)
                    // A build that cannot be chosen says why.
                    Accessible.description: modelData.enabled ? modelData.description : modelData.reason
                    Accessible.selected: highlighted
                    onClicked: page.backend.selectImage(modelData.id)
                    onActiveFocusChanged: if (activeFocus) imageScroll.rowFocused(index)

                    contentItem: ColumnLayout {
                        spacing: 2

                        Label {
                            objectName: "imageTitle"
                            text: imageDelegate.modelData.description !== ""
                                  ? imageDelegate.modelData.name + " — " + imageDelegate.modelData.description
                                  : imageDelegate.modelData.name
                            textFormat: Text.PlainText
                            font.bold: true
                            color: imageDelegate.highlighted ? palette.highlightedText : palette.text
                            elide: Text.ElideRight
                            Layout.fillWidth: true
                        }
                        Label {
                            objectName: "imageDetails"
                            text: (imageDelegate.modelData.extractSize !== ""
                                   ? qsTr("Build %1 · %2 download · %3 on the SD card")
                                     .arg(imageDelegate.modelData.version)
                                     .arg(imageDelegate.modelData.size)
                                     .arg(imageDelegate.modelData.extractSize)
                                   : qsTr("Build %1 · %2 download")
                                     .arg(imageDelegate.modelData.version)
                                     .arg(imageDelegate.modelData.size))
                            textFormat: Text.PlainText
                            opacity: 0.8
                            color: imageDelegate.highlighted ? palette.highlightedText : palette.text
                            elide: Text.ElideRight
                            Layout.fillWidth: true
                        }
                        // Why the build cannot be chosen, whole: it is the
                        // one thing the user can act on.
                        Label {
                            objectName: "imageReason"
                            color: palette.highlight
                            visible: !imageDelegate.modelData.enabled
                            text: imageDelegate.modelData.reason
                            textFormat: Text.PlainText
                            wrapMode: Text.Wrap
                            Layout.fillWidth: true
                        }
                    }
                }
            }
        }
    }

    RowLayout {
        spacing: 12

        Button {
            id: localFileButton

            objectName: "localFileButton"
            text: qsTr("Local file…")
            Accessible.name: text
            highlighted: page.backend.imageName !== ""
            onClicked: {
                fileDialog.currentFolder = page.backend.imageFolder;
                fileDialog.open();
            }
        }
        Label {
            objectName: "localFileLabel"
            text: page.backend.imageName !== "" ? page.backend.imageName : qsTr("No file selected")
            textFormat: Text.PlainText
            elide: Text.ElideMiddle
            Layout.fillWidth: true
        }
    }

    // What the chosen image tells before it is written.
    RowLayout {
        objectName: "imageCheckingRow"
        visible: page.backend.imageChecking
        spacing: 12

        BusyIndicator {
            running: visible
            Layout.preferredWidth: 24
            Layout.preferredHeight: 24
        }
        Label {
            text: qsTr("Checking the image…")
        }
    }
    Label {
        objectName: "imageRefusalLabel"
        visible: !page.backend.imageChecking && page.backend.imageRefusal !== ""
        text: page.backend.imageRefusal
        textFormat: Text.PlainText
        color: palette.highlight
        wrapMode: Text.WordWrap
        Layout.fillWidth: true
    }
    // Writing the image without the product's boot files is the user's own,
    // explicit choice, and only where they cannot be set.
    ColumnLayout {
        objectName: "setupRefusal"
        visible: !page.backend.imageChecking && page.backend.setupRefusal !== ""
        spacing: 4
        Layout.fillWidth: true

        Label {
            objectName: "setupRefusalLabel"
            text: page.backend.setupRefusal
            textFormat: Text.PlainText
            color: palette.highlight
            wrapMode: Text.WordWrap
            Layout.fillWidth: true
        }
        CheckBox {
            objectName: "withoutSetupCheckBox"
            text: qsTr("Write without setting up a product")
            Accessible.name: text
            checked: page.backend.writeWithoutSetup
            onToggled: page.backend.writeWithoutSetup = checked
        }
    }

    RowLayout {
        Button {
            objectName: "imageBackButton"
            text: qsTr("Back")
            Accessible.name: text
            onClicked: page.backend.back()
        }
        Item {
            Layout.fillWidth: true
        }
        Button {
            id: nextButton

            objectName: "nextButton"
            text: qsTr("Next")
            Accessible.name: text
            enabled: page.backend.imageReady && !page.backend.imageChecking
            highlighted: true
            onClicked: page.backend.chooseDisk()
        }
    }

    FileDialog {
        id: fileDialog
        objectName: "fileDialog"
        title: qsTr("Choose an image")
        nameFilters: [qsTr("All supported images (%1)").arg(page.backend.imageFilePatterns),
                      qsTr("Disk images (*.img *.zip)"), qsTr("Compressed disk images (*.img.xz *.img.zst)"),
                      qsTr("All files (*)")]
        onAccepted: page.backend.imageUrl = selectedFile
    }
}
