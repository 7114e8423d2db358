import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A list or grid of rows that scrolls when it is longer than the page: the
// bar shows only then. It takes no Tab stop of its own: Tab reaches one row,
// the one last focused, else the chosen one, else the first; the arrow keys
// move between the rows (up and down to the nearest row of the line above or
// below, left and right within a line), Home and End to the first and last;
// Enter chooses the focused row as a click does and then tells accepted().
// The focused row is kept in view; when it goes (a card pulled out, a list
// made anew), the focus moves to the same entry in the new rows, else to the
// row Tab reaches, else rowsGone() tells the page.
Flickable {
    id: list

    readonly property ScrollBar bar: bar
    // The rows: each calls rowFocused(index) when it takes the focus. The
    // list gives one of them the Tab stop.
    property Repeater rows
    property int focusedIndex: -1

    // Enter on a row, after the row was chosen.
    signal accepted()
    // The focused row went and no row can take the focus: the page gives it
    // to another of its controls, for reason.
    signal rowsGone(int reason)

    clip: true
    boundsBehavior: Flickable.StopAtBounds
    Layout.fillWidth: true
    Layout.fillHeight: true

    onFocusedIndexChanged: list.updateTabStop()

    Connections {
        target: list.rows

        function onItemAdded(index: int, item: Item) {
            list.watch(item);
            list.updateTabStop();
        }
        function onItemRemoved(index: int, item: Item) {
            if (item.activeFocus)
                Qt.callLater(list.refocus, item.modelData ? item.modelData.id : undefined,
                             item.visualFocus ? Qt.TabFocusReason : Qt.OtherFocusReason);
            list.updateTabStop();
        }
    }

    ScrollBar.vertical: ScrollBar {
        id: bar
        policy: list.contentHeight > list.height ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
    }

    Keys.onPressed: (event) => {
        const from = list.focusedRow();
        if (from < 0)
            return;
        let to = -1;
        switch (event.key) {
        case Qt.Key_Up:
            to = list.nearestOnLine(from, -1);
            break;
        case Qt.Key_Down:
            to = list.nearestOnLine(from, 1);
            break;
        case Qt.Key_Left:
            to = list.besideOnLine(from, -1);
            break;
        case Qt.Key_Right:
            to = list.besideOnLine(from, 1);
            break;
        case Qt.Key_Home:
            to = list.usableFrom(0, 1);
            break;
        case Qt.Key_End:
            to = list.usableFrom(list.rows.count - 1, -1);
            break;
        case Qt.Key_Return:
        case Qt.Key_Enter:
            list.rows.itemAt(from).clicked();
            list.accepted();
            break;
        default:
            return;
        }
        event.accepted = true;
        if (to >= 0)
            list.rows.itemAt(to).forceActiveFocus(Qt.TabFocusReason);
    }

    // Puts the focus on the row Tab reaches, the chosen one or the first, for
    // the reason given; false when no row can take it.
    function focusFirst(reason: int): bool {
        list.focusedIndex = -1;
        const index = list.tabIndex();
        if (index < 0)
            return false;
        list.rows.itemAt(index).forceActiveFocus(reason);
        return true;
    }

    // After the focused row went: the row of the entry id, else the one Tab
    // reaches, else the page's choice.
    function refocus(id: var, reason: int) {
        if (!list.visible || list.focusedRow() >= 0)
            return;
        for (let i = 0; id !== undefined && i < list.rows.count; ++i) {
            const row = list.rows.itemAt(i);
            if (list.usable(i) && row.modelData && row.modelData.id === id) {
                row.forceActiveFocus(reason);
                return;
            }
        }
        if (!list.focusFirst(reason))
            list.rowsGone(reason);
    }

    // The row that Tab reaches: the one last focused while it can take the
    // focus, else the chosen one, else the first that can; -1 when none can.
    function tabIndex(): int {
        if (list.usable(list.focusedIndex))
            return list.focusedIndex;
        let first = -1;
        for (let i = 0; list.rows && i < list.rows.count; ++i) {
            if (!list.usable(i))
                continue;
            if (list.chosen(list.rows.itemAt(i)))
                return i;
            if (first < 0)
                first = i;
        }
        return first;
    }

    // A row is a button or an item delegate, both highlighted when chosen.
    function chosen(row: var): bool {
        return row.highlighted === true;
    }

    function watch(row: var) {
        row.highlightedChanged.connect(list.updateTabStop);
        row.enabledChanged.connect(list.updateTabStop);
    }

    function updateTabStop() {
        const stop = list.tabIndex();
        for (let i = 0; list.rows && i < list.rows.count; ++i) {
            const row = list.rows.itemAt(i);
            if (row)
                row.activeFocusOnTab = i === stop;
        }
    }

    function rowFocused(index: int) {
        list.focusedIndex = index;
        list.show(list.rows.itemAt(index));
    }

    function focusedRow(): int {
        for (let i = 0; i < list.rows.count; ++i) {
            const row = list.rows.itemAt(i);
            if (row && row.activeFocus)
                return i;
        }
        return -1;
    }

    function usable(index: int): bool {
        const row = list.rows && index >= 0 ? list.rows.itemAt(index) : null;
        return row !== null && row.enabled;
    }

    // The first row that can take the focus from index on, in direction.
    function usableFrom(index: int, direction: int): int {
        for (let i = index; i >= 0 && i < list.rows.count; i += direction) {
            if (list.usable(i))
                return i;
        }
        return -1;
    }

    // The row of the nearest line above (-1) or below (1) whose left edge is
    // closest to the focused row's; -1 when there is none.
    function nearestOnLine(from: int, direction: int): int {
        const here = list.rows.itemAt(from);
        let best = -1;
        let bestDistance = 0;
        let bestOffset = 0;
        for (let i = 0; i < list.rows.count; ++i) {
            const row = list.rows.itemAt(i);
            if (!list.usable(i))
                continue;
            const distance = (row.y - here.y) * direction;
            const offset = Math.abs(row.x - here.x);
            if (distance <= 0)
                continue;
            if (best < 0 || distance < bestDistance || (distance === bestDistance && offset < bestOffset)) {
                best = i;
                bestDistance = distance;
                bestOffset = offset;
            }
        }
        return best;
    }

    // The next row before (-1) or after (1) the focused one on the same line.
    function besideOnLine(from: int, direction: int): int {
        const y = list.rows.itemAt(from).y;
        for (let i = from + direction; i >= 0 && i < list.rows.count; i += direction) {
            const row = list.rows.itemAt(i);
            if (row.y !== y)
                return -1;
            if (list.usable(i))
                return i;
        }
        return -1;
    }

    // Keeps the row that takes the keyboard focus in view.
    function show(row: Item) {
        const top = row.mapToItem(list.contentItem, 0, 0).y;
        if (top < list.contentY)
            list.contentY = top;
        else if (top + row.height > list.contentY + list.height)
            list.contentY = top + row.height - list.height;
    }
}
