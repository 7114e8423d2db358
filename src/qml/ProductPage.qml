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
        objectName: "productTitle"
        text: qsTr("Choose the product")
        font.pixelSize: 20
    }

    RowLayout {
        objectName: "loadingRow"
        visible: page.backend.catalogState === Backend.Loading
        spacing: 12

        BusyIndicator {
            running: true
        }
        Label {
            text: qsTr("Loading the image catalog…")
        }
    }

    Flow {
        objectName: "productGrid"
        visible: page.backend.catalogState === Backend.Ready
        spacing: 16
        Layout.fillWidth: true

        Repeater {
            model: page.backend.products

            Button {
                required property var modelData

                objectName: "productButton"
                width: 160
                height: 140
                display: AbstractButton.TextUnderIcon
                icon.source: modelData.icon
                icon.width: 72
                icon.height: 72
                icon.color: "transparent"
                text: modelData.name
                font.pixelSize: 16
                highlighted: page.backend.productId === modelData.id
                onClicked: page.backend.selectProduct(modelData.id)
            }
        }
    }

    // When the catalog cannot be used, a local image file is still an option.
    ColumnLayout {
        objectName: "unusableCatalog"
        visible: page.backend.catalogState === Backend.Unavailable
                 || page.backend.catalogState === Backend.UpdateRequired
        spacing: 12
        Layout.fillWidth: true

        Label {
            objectName: "catalogMessage"
            text: page.backend.catalogState === Backend.UpdateRequired
                  ? qsTr("Update Tessaro: the image catalog requires version %1 or newer, this is version %2.")
                    .arg(page.backend.minTessaroVersion).arg(page.backend.appVersion)
                  : page.backend.catalogError
            color: palette.highlight
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
                objectName: "retryButton"
                text: qsTr("Retry")
                onClicked: page.backend.reloadCatalog()
            }
            Button {
                objectName: "localFileOnlyButton"
                text: qsTr("Local file…")
                highlighted: true
                onClicked: page.backend.useLocalFileOnly()
            }
        }
    }

    Item {
        Layout.fillHeight: true
    }
}
