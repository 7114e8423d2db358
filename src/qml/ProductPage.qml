pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tessaro

ColumnLayout {
    id: page

    required property Backend backend

    readonly property bool hasProducts: page.backend.catalogState === Backend.Ready
                                        && page.backend.products.length > 0

    spacing: 16

    // Called when the page appears and when the catalog arrives.
    function focusFirstChoice(reason: int) {
        if (!productScroll.visible || !productScroll.focusFirst(reason))
            retryButton.forceActiveFocus(reason);
    }

    Label {
        id: title

        objectName: "productTitle"
        text: qsTr("Choose the product")
        font.pixelSize: 20
    }

    // A retry shows that it is trying for a moment at least, also when the
    // answer comes at once (a catalog file, a server that refuses).
    Timer {
        id: retryBusy

        interval: 600
    }

    RowLayout {
        objectName: "loadingRow"
        visible: page.backend.catalogState === Backend.Loading || (retryBusy.running && !page.hasProducts)
        spacing: 12

        BusyIndicator {
            running: true
            Accessible.name: loadingLabel.text
        }
        Label {
            id: loadingLabel

            objectName: "loadingLabel"
            text: page.backend.catalogFailures > 0 ? qsTr("Trying again to load the image catalog…")
                                                   : qsTr("Loading the image catalog…")
        }
    }

    // Many products scroll here instead of running off the window.
    ScrollList {
        id: productScroll

        objectName: "productScroll"
        visible: page.hasProducts
        contentHeight: productGrid.height
        rows: productRepeater
        Accessible.role: Accessible.List
        Accessible.name: title.text
        onRowsGone: (reason) => page.focusFirstChoice(reason)

        Flow {
            id: productGrid

            objectName: "productGrid"
            // Room for the bar whether it shows or not: a width that followed
            // the bar could wrap the grid differently and hide the bar again.
            width: productScroll.width - productScroll.bar.width
            spacing: 16

            Repeater {
                id: productRepeater

                model: page.backend.products

                Button {
                    id: productButton

                    required property var modelData
                    required property int index

                    objectName: "productButton"
                    width: 160
                    height: 140
                    icon.source: modelData.icon
                    text: modelData.name
                    font.pixelSize: 16
                    highlighted: page.backend.productId === modelData.id
                    focusPolicy: Qt.StrongFocus
                    Accessible.name: modelData.name
                    onClicked: page.backend.selectProduct(modelData.id)
                    onActiveFocusChanged: if (activeFocus) productScroll.rowFocused(index)

                    // Icon over the name, drawn here because the button's own
                    // label would render a name holding markup as rich text.
                    contentItem: ColumnLayout {
                        spacing: productButton.spacing

                        Image {
                            source: productButton.icon.source
                            Accessible.ignored: true
                            sourceSize.width: 72
                            sourceSize.height: 72
                            fillMode: Image.PreserveAspectFit
                            Layout.preferredWidth: 72
                            Layout.preferredHeight: 72
                            Layout.alignment: Qt.AlignHCenter
                        }
                        Label {
                            text: productButton.text
                            textFormat: Text.PlainText
                            font: productButton.font
                            color: productButton.palette.buttonText
                            horizontalAlignment: Text.AlignHCenter
                            elide: Text.ElideRight
                            Layout.fillWidth: true
                        }
                    }
                }
            }
        }
    }

    // When the catalog cannot be used, or lists no product, a local image
    // file is still an option.
    ColumnLayout {
        objectName: "unusableCatalog"
        visible: page.backend.catalogState !== Backend.Loading && !retryBusy.running && !page.hasProducts
        spacing: 12
        Layout.fillWidth: true

        Label {
            objectName: "catalogMessage"
            text: page.backend.catalogState === Backend.UpdateRequired
                  ? qsTr("Update Tessaro: the image catalog requires version %1 or newer, this is version %2.")
                    .arg(page.backend.minTessaroVersion).arg(page.backend.appVersion)
                  : page.backend.catalogState === Backend.Ready
                    ? qsTr("The image catalog lists no products.")
                    : page.backend.catalogError
            textFormat: Text.PlainText
            color: palette.highlight
            wrapMode: Text.WordWrap
            Layout.fillWidth: true
        }
        Label {
            objectName: "failedAgainLabel"
            visible: page.backend.catalogState === Backend.Unavailable && page.backend.catalogFailures > 1
            text: qsTr("Tried again: it failed again (attempt %1).").arg(page.backend.catalogFailures)
            wrapMode: Text.WordWrap
            Layout.fillWidth: true
        }
        Label {
            text: qsTr("You can still write an image file you already have.")
            wrapMode: Text.WordWrap
            Layout.fillWidth: true
        }
        RowLayout {
            spacing: 12

            Button {
                id: retryButton

                objectName: "retryButton"
                text: qsTr("Retry")
                Accessible.name: text
                onClicked: {
                    retryBusy.restart();
                    page.backend.reloadCatalog();
                }
            }
            Button {
                objectName: "localFileOnlyButton"
                text: qsTr("Local file…")
                Accessible.name: text
                highlighted: true
                onClicked: page.backend.useLocalFileOnly()
            }
        }
    }

    Item {
        visible: !productScroll.visible
        Layout.fillHeight: true
    }
}
