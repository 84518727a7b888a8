import QtQuick
import Nimbrel.Ui

// The node rows as one keyboard stop: Up and Down move the current row (kept in view), Home and End
// go to the ends, Space or Return selects it and P measures its latency. Only the rows near the view
// exist, so no row is a stop itself; the current row shows the focus while this has it. (The list's
// own current item is not used: a list gives its current item the focus, away from this.)
Item {
    id: root

    property ListView rows: null
    property string currentText: ""

    activeFocusOnTab: rows !== null && rows.count > 0
    Accessible.role: Accessible.List
    Accessible.name: currentText.length > 0 ? qsTr("a11y_node_list") + ": " + currentText : qsTr("a11y_node_list")
    Accessible.description: qsTr("a11y_node_list_keys")

    function current(): Item {
        return rows.itemAtIndex(rows.keyRow)
    }
    function moveTo(row: int) {
        rows.keyRow = Math.max(0, Math.min(rows.count - 1, row))
        rows.positionViewAtIndex(rows.keyRow, ListView.Contain)
        const item = current()
        currentText = item ? item.spokenText : ""
    }

    onActiveFocusChanged: {
        if (!rows)
            return
        rows.rowsFocused = activeFocus
        if (activeFocus) {
            const selected = AppViewModel.selectedNode
            moveTo(selected ? AppViewModel.nodeRows.rowOf(selected.id) : 0)
        }
    }

    Keys.onPressed: event => {
        if (!rows || rows.count === 0)
            return
        if (!current())
            moveTo(rows.keyRow) // a search has left fewer rows than the current one
        const item = current()
        if (!item)
            return
        if (event.key === Qt.Key_Up || event.key === Qt.Key_Down) {
            moveTo(rows.keyRow + (event.key === Qt.Key_Up ? -1 : 1))
        } else if (event.key === Qt.Key_Home || event.key === Qt.Key_End) {
            moveTo(event.key === Qt.Key_Home ? 0 : rows.count - 1)
        } else if (event.key === Qt.Key_Space || event.key === Qt.Key_Return || event.key === Qt.Key_Enter) {
            AppViewModel.selectNodeById(item.nodeId)
        } else if (event.key === Qt.Key_P) {
            AppViewModel.pingNodeById(item.nodeId)
        } else {
            return
        }
        event.accepted = true
    }
}
