import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tessaro

ApplicationWindow {
    id: window

    required property Backend backend

    width: 640
    height: 480
    minimumWidth: 480
    minimumHeight: 360
    visible: true
    title: "Tessaro"

    header: AppHeader {
        objectName: "appHeader"
        version: window.backend.appVersion
    }

    StackLayout {
        objectName: "pageStack"
        anchors.fill: parent
        anchors.margins: 24

        // The writing and result pages cover whatever step the wizard is on.
        currentIndex: {
            if (window.backend.state === Backend.Writing)
                return 4;
            if (window.backend.state !== Backend.Idle)
                return 5;
            switch (window.backend.step) {
            case Backend.ProductStep:
                return 0;
            case Backend.DeviceStep:
                return 1;
            case Backend.ImageStep:
                return 2;
            default:
                return 3;
            }
        }

        ProductPage {
            objectName: "productPage"
            backend: window.backend
        }
        DevicePage {
            objectName: "devicePage"
            backend: window.backend
        }
        ImagePage {
            objectName: "imagePage"
            backend: window.backend
        }
        DiskPage {
            objectName: "diskPage"
            backend: window.backend
        }
        WritingPage {
            objectName: "writingPage"
            backend: window.backend
        }
        ResultPage {
            objectName: "resultPage"
            backend: window.backend
        }
    }
}
