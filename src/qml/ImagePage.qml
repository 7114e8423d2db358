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

    Label {
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

        Column {
            id: imageList
            objectName: "imageList"
            width: imageScroll.width - (imageScroll.bar.visible ? imageScroll.bar.width : 0)

            Repeater {
                model: page.backend.images

                ItemDelegate {
                    id: imageDelegate

                    required property var modelData

                    objectName: "imageDelegate"
                    width: imageList.width
                    highlighted: page.backend.imageId === modelData.id
                    onClicked: page.backend.selectImage(modelData.id)
                    onActiveFocusChanged: if (activeFocus) imageScroll.show(imageDelegate)

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
                            text: imageDelegate.modelData.extractSize !== ""
                                  ? qsTr("Build %1 · %2 download · %3 on the SD card")
                                    .arg(imageDelegate.modelData.version)
                                    .arg(imageDelegate.modelData.size)
                                    .arg(imageDelegate.modelData.extractSize)
                                  : qsTr("Build %1 · %2 download")
                                    .arg(imageDelegate.modelData.version)
                                    .arg(imageDelegate.modelData.size)
                            textFormat: Text.PlainText
                            opacity: 0.8
                            color: imageDelegate.highlighted ? palette.highlightedText : palette.text
                            elide: Text.ElideRight
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
            objectName: "localFileButton"
            text: qsTr("Local file…")
            highlighted: page.backend.imageName !== ""
            onClicked: fileDialog.open()
        }
        Label {
            objectName: "localFileLabel"
            text: page.backend.imageName !== "" ? page.backend.imageName : qsTr("No file selected")
            textFormat: Text.PlainText
            elide: Text.ElideMiddle
            Layout.fillWidth: true
        }
    }

    RowLayout {
        Button {
            objectName: "imageBackButton"
            text: qsTr("Back")
            onClicked: page.backend.back()
        }
        Item {
            Layout.fillWidth: true
        }
        Button {
            objectName: "nextButton"
            text: qsTr("Next")
            enabled: page.backend.imageReady
            highlighted: true
            onClicked: page.backend.chooseDisk()
        }
    }

    FileDialog {
        id: fileDialog
        objectName: "fileDialog"
        title: qsTr("Choose an image")
        nameFilters: [qsTr("Disk images (*.img *.zip)"), qsTr("Compressed disk images (*.img.xz *.img.zst)")]
        onAccepted: page.backend.imageUrl = selectedFile
    }
}
