import QtQuick
import QtTest
import Nimbrel.Ui

TestCase {
    name: "Language"

    function test_languageRedrawsQsTrBindings() {
        var label = Qt.createQmlObject('import QtQuick; Text { text: qsTr("connect_button") }', this)
        compare(label.text, "Connect")
        LanguageManager.setLanguageCode("zh-CN")
        tryCompare(label, "text", "连接")
        LanguageManager.setLanguageCode("en")
        tryCompare(label, "text", "Connect")
        label.destroy()
    }
}
