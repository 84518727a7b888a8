import QtQuick
import Nimbrel.Ui

// The failure of the last sign-in or registration, as the service or the network worded it.
Rectangle {
    id: root
    objectName: "errorBox"

    property var message: null

    visible: message !== null && message !== undefined
    implicitHeight: label.implicitHeight + 24
    radius: 8
    color: Qt.rgba(Theme.clrError.r, Theme.clrError.g, Theme.clrError.b, 0.12)

    Text {
        id: label
        objectName: "errorText"
        anchors.fill: parent
        anchors.margins: 12
        text: root.message === null || root.message === undefined ? "" : root.message
        textFormat: Text.PlainText // the service's message as it came
        color: Theme.clrError
        font.pixelSize: 13
        wrapMode: Text.Wrap
        Accessible.name: text
    }
}
