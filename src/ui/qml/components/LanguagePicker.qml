import QtQuick
import Nimbrel.Ui

// The language menu: the current language's flag in a round button; the menu lists every language in
// its own script and marks the current one.
Item {
    id: root
    objectName: "languagePicker"
    width: 36
    height: 36

    // Compiled and built on first use: its entries need every script's fonts, the screen itself does not.
    property Item menu: null

    TapButton {
        id: face
        objectName: "languageButton"
        anchors.fill: parent
        text: qsTr("settings_language") // a screen reader says the word, not the flag
        Rectangle {
            anchors.fill: parent
            radius: width / 2
            color: Theme.clrBgCard
        }
        // Sized when made rather than anchored, which resizes it twice afterwards: each new size lays the
        // flag out again, and a colour emoji's picture is decoded for every layout. In the main window
        // the flag comes with the second frame: finding the colour emoji font and decoding the flag's
        // picture is a tenth of the work before the first.
        Text {
            objectName: "languageFlag"
            width: root.width
            height: root.height
            text: root.Window.window && root.Window.window.firstFrameShown !== false ? LanguageManager.flag : ""
            font.pixelSize: 20
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
        }
        onClicked: {
            if (!root.menu)
                root.menu = Qt.createComponent("LanguageMenu.qml").createObject(root, { anchorItem: face })
            root.menu.open()
        }
    }
}
