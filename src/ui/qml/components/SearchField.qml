import QtQuick
import Nimbrel.Ui

// The node search: what is typed narrows the list at once; Esc empties it.
AuthField {
    id: root

    text: AppViewModel.nodeRows.query
    font.pixelSize: 13
    topPadding: 7
    bottomPadding: 7
    Accessible.name: qsTr("search_nodes")
    onTextChanged: AppViewModel.searchNodes(text)
    Keys.onEscapePressed: event => {
        event.accepted = text.length > 0
        clear()
    }

    Text {
        anchors.fill: parent
        leftPadding: root.leftPadding
        rightPadding: root.rightPadding
        verticalAlignment: Text.AlignVCenter
        visible: root.text.length === 0 && !root.inputMethodComposing
        text: qsTr("search_nodes")
        color: Theme.clrTextDim
        font.pixelSize: 13
        elide: Text.ElideRight
    }
}
