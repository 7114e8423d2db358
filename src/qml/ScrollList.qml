import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A list that scrolls when it is longer than the page: the bar shows only
// then, the arrow keys scroll it, and show() keeps a focused row in view.
Flickable {
    id: list

    readonly property ScrollBar bar: bar

    clip: true
    boundsBehavior: Flickable.StopAtBounds
    activeFocusOnTab: true
    Layout.fillWidth: true
    Layout.fillHeight: true

    ScrollBar.vertical: ScrollBar {
        id: bar
        policy: list.contentHeight > list.height ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
    }
    Keys.onUpPressed: bar.decrease()
    Keys.onDownPressed: bar.increase()

    // Keeps the row that takes the keyboard focus in view.
    function show(row: Item) {
        const top = row.mapToItem(list.contentItem, 0, 0).y;
        if (top < list.contentY)
            list.contentY = top;
        else if (top + row.height > list.contentY + list.height)
            list.contentY = top + row.height - list.height;
    }
}
