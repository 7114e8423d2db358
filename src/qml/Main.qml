import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tessaro

ApplicationWindow {
    id: window

    required property Backend backend

    // Shown once it has its first size, below.
    visible: false
    title: "Tessaro"

    // The first size fits the screen's free area at any scale factor, with
    // room left for the title bar and frame the system draws around it; the
    // smallest size never exceeds it.
    Component.onCompleted: {
        const room = Qt.size(Math.min(Screen.width, Screen.desktopAvailableWidth) - 32,
                             Math.min(Screen.height, Screen.desktopAvailableHeight) - 64);
        width = Math.min(640, room.width);
        height = Math.min(480, room.height);
        minimumWidth = Math.min(480, width);
        minimumHeight = Math.min(360, height);
        visible = true;
    }

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
