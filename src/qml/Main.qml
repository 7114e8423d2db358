import QtQuick
import QtQuick.Controls
import QtQuick.Templates as T
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
        pageFocus.restart();
    }

    // Whether the user moves through the window with the keyboard; the focus
    // that the pages move themselves then shows its frame too.
    property bool keyboardUser: false

    onActiveFocusItemChanged: {
        const control = activeFocusItem as T.Control;
        if (control === null)
            return;
        if (control.focusReason === Qt.MouseFocusReason)
            keyboardUser = false;
        else if (control.focusReason === Qt.TabFocusReason || control.focusReason === Qt.BacktabFocusReason)
            keyboardUser = true;
    }

    // The page shown puts the focus on its first choice, once it shows.
    Timer {
        id: pageFocus

        interval: 0
        onTriggered: {
            // The close question keeps the focus while it is asked.
            if (closeQuestion.visible)
                return;
            const page = pageStack.children[pageStack.currentIndex];
            page.focusFirstChoice(window.keyboardUser ? Qt.TabFocusReason : Qt.OtherFocusReason);
        }
    }

    // Enter presses the focused button, as Space does; rows and the pages'
    // check boxes handle Enter themselves.
    function pressFocused(event: KeyEvent) {
        const button = window.activeFocusItem as T.AbstractButton;
        event.accepted = button !== null && button.enabled && !button.checkable;
        if (event.accepted)
            button.clicked();
    }

    // A Tab that finds no other stop (a page whose one choice is a grid)
    // shows the focus frame where the focus is.
    function showFocus(event: KeyEvent) {
        const control = window.activeFocusItem as T.Control;
        event.accepted = control !== null && !control.visualFocus;
        if (event.accepted) {
            control.focusReason = event.key === Qt.Key_Backtab ? Qt.BacktabFocusReason : Qt.TabFocusReason;
            window.keyboardUser = true;
        }
    }

    // The product page's choices arrive with the catalog.
    Connections {
        target: window.backend

        function onCatalogChanged() {
            if (pageStack.currentIndex === 0)
                pageFocus.restart();
        }
    }

    // Set once the user chose to stop a write and close: the window closes
    // when the write has ended.
    property bool closeWhenStopped: false

    // A card being written is not left half-written by closing the window
    // without asking.
    onClosing: close => {
        if (window.backend.state !== Backend.Writing)
            return;
        close.accepted = false;
        if (!window.closeWhenStopped)
            closeQuestion.open();
    }

    Connections {
        target: window.backend
        enabled: window.closeWhenStopped

        function onStateChanged() {
            if (window.backend.state !== Backend.Writing)
                window.close();
        }
    }

    // A write that ends while the question is asked leaves nothing to stop:
    // the question goes, and the result shows.
    Connections {
        target: window.backend
        enabled: closeQuestion.visible && !window.closeWhenStopped

        function onStateChanged() {
            if (window.backend.state !== Backend.Writing)
                closeQuestion.reject();
        }
    }

    Dialog {
        id: closeQuestion

        objectName: "closeQuestion"
        parent: Overlay.overlay
        anchors.centerIn: parent
        width: Math.min(window.width - 48, 420)
        modal: true
        focus: true
        title: "Tessaro"

        // The frame shows on the question's buttons for a keyboard user.
        property int focusReason: window.keyboardUser ? Qt.TabFocusReason : Qt.OtherFocusReason

        // Keep writing takes the focus: Enter stops nothing by mistake.
        // Escape keeps writing too, and the page gets its focus back.
        onOpened: keepWritingButton.forceActiveFocus(closeQuestion.focusReason)
        onRejected: pageFocus.restart()

        onAccepted: {
            window.closeWhenStopped = true;
            if (window.backend.state === Backend.Writing)
                window.backend.cancel();
            else
                window.close();
        }

        contentItem: Label {
            objectName: "closeQuestionText"
            text: qsTr("A card is being written. Stop and close?")
            wrapMode: Text.WordWrap
        }

        footer: DialogButtonBox {
            // Enter presses the focused button, as Space does.
            Button {
                objectName: "stopAndCloseButton"
                text: qsTr("Stop and close")
                Accessible.name: text
                DialogButtonBox.buttonRole: Dialog.AcceptRole
                Keys.onReturnPressed: clicked()
                Keys.onEnterPressed: clicked()
            }
            Button {
                id: keepWritingButton

                objectName: "keepWritingButton"
                text: qsTr("Keep writing")
                Accessible.name: text
                highlighted: true
                DialogButtonBox.buttonRole: Dialog.RejectRole
                Keys.onReturnPressed: clicked()
                Keys.onEnterPressed: clicked()
            }
        }
    }

    header: AppHeader {
        objectName: "appHeader"
        version: window.backend.appVersion
    }

    StackLayout {
        id: pageStack

        objectName: "pageStack"
        anchors.fill: parent
        anchors.margins: 24

        onCurrentIndexChanged: pageFocus.restart()
        Keys.onTabPressed: (event) => window.showFocus(event)
        Keys.onBacktabPressed: (event) => window.showFocus(event)
        Keys.onReturnPressed: (event) => window.pressFocused(event)
        Keys.onEnterPressed: (event) => window.pressFocused(event)

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

    // An image file dropped on the product or image page becomes the local
    // file; the Backend says which files it takes.
    DropArea {
        objectName: "imageDropArea"
        anchors.fill: parent
        enabled: pageStack.currentIndex === 0 || pageStack.currentIndex === 2

        onEntered: (drag) => {
            drag.accepted = drag.urls.length === 1 && window.backend.isImageFile(drag.urls[0]);
        }
        onDropped: (drop) => {
            if (drop.urls.length === 1 && window.backend.dropImageFile(drop.urls[0]))
                drop.acceptProposedAction();
        }
    }

    FocusFrame {
        target: window.activeFocusItem
    }
}
