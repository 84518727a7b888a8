import QtQuick
import QtTest
import Nimbrel.Ui

TestCase {
    name: "Theme"

    function test_namedColours_data() {
        return [
            { tag: "clrBgDeep", actual: Theme.clrBgDeep, r: 8, g: 11, b: 24 },
            { tag: "clrBgSurface", actual: Theme.clrBgSurface, r: 15, g: 18, b: 37 },
            { tag: "clrBgCard", actual: Theme.clrBgCard, r: 22, g: 25, b: 41 },
            { tag: "clrBgCardBorder", actual: Theme.clrBgCardBorder, r: 37, g: 40, b: 72 },
            { tag: "clrPrimary", actual: Theme.clrPrimary, r: 99, g: 102, b: 241 },
            { tag: "clrPrimaryDim", actual: Theme.clrPrimaryDim, r: 61, g: 63, b: 142 },
            { tag: "clrConnected", actual: Theme.clrConnected, r: 16, g: 185, b: 129 },
            { tag: "clrError", actual: Theme.clrError, r: 239, g: 68, b: 68 },
            { tag: "clrWarning", actual: Theme.clrWarning, r: 245, g: 158, b: 11 },
            { tag: "clrTextPrimary", actual: Theme.clrTextPrimary, r: 232, g: 234, b: 246 },
            { tag: "clrTextSecondary", actual: Theme.clrTextSecondary, r: 144, g: 148, b: 184 },
            { tag: "clrTextDim", actual: Theme.clrTextDim, r: 74, g: 78, b: 112 },
            { tag: "logo gradient end", actual: Theme.logoGradientEnd, r: 129, g: 140, b: 248 },
            { tag: "sign-in gradient top", actual: Theme.authGradientTop, r: 10, g: 13, b: 31 },
            { tag: "sign-in gradient bottom", actual: Theme.authGradientBottom, r: 8, g: 9, b: 26 }
        ]
    }

    function test_namedColours(data) {
        compare(Math.round(data.actual.r * 255), data.r)
        compare(Math.round(data.actual.g * 255), data.g)
        compare(Math.round(data.actual.b * 255), data.b)
        compare(data.actual.a, 1)
    }

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
