import QtQuick
import QtTest
import Nimbrel.Ui

Item {
    id: root
    width: 440
    height: 400

    Component {
        id: buttonComponent
        PrimaryButton { width: 200; text: "Go" }
    }
    Component {
        id: pickerComponent
        Item {
            anchors.fill: parent
            LanguagePicker { objectName: "picker"; x: 300; y: 10 }
        }
    }

    Component {
        id: iconComponent
        Icon { symbol: "shield.fill"; size: 24; color: "#ff0000" }
    }

    SignalSpy { id: clicks; signalName: "clicked" }

    TestCase {
        name: "Controls"
        when: windowShown

        function test_keyboardPressesAFocusedButtonOnlyWhileEnabled() {
            var button = createTemporaryObject(buttonComponent, root)
            clicks.target = button
            clicks.clear()
            button.forceActiveFocus()
            keyClick(Qt.Key_Space)
            keyClick(Qt.Key_Return)
            compare(clicks.count, 2)
            button.enabled = false
            keyClick(Qt.Key_Space)
            mouseClick(button)
            compare(clicks.count, 2)
        }

        // A stopped spinner must leave nothing animating behind: it is gone, not hidden.
        function test_spinnerExistsOnlyWhileRunning() {
            var button = createTemporaryObject(buttonComponent, root, { objectName: "b", busy: true })
            var spinner = findChild(button, "bSpinner")
            tryVerify(() => spinner.item !== null && spinner.item.running)
            verify(spinner.visible)
            button.busy = false
            compare(spinner.item, null)
            verify(!spinner.visible)
        }

        function test_iconsAreTintedAndUnknownOnesDrawNothing() {
            var icon = createTemporaryObject(iconComponent, root)
            compare(icon.width, 24)
            verify(Qt.colorEqual(grabImage(icon).pixel(12, 12), "#ff0000"))
            icon.color = "#00ff00"
            waitForRendering(icon)
            verify(Qt.colorEqual(grabImage(icon).pixel(12, 12), "#00ff00"))
            ignoreWarning(new RegExp("no\\.such\\.symbol"))
            icon.symbol = "no.such.symbol"
            waitForRendering(icon)
            verify(!Qt.colorEqual(grabImage(icon).pixel(12, 12), "#00ff00"))
        }

        function test_languageMenuOpensClosesAndPicks() {
            var holder = createTemporaryObject(pickerComponent, root)
            var picker = findChild(holder, "picker")
            var chosen = LanguageManager.language
            compare(picker.menu, null) // nothing built before the first click
            mouseClick(findChild(picker, "languageButton"))
            var menu = picker.menu
            verify(menu.visible)
            keyClick(Qt.Key_Escape)
            verify(!menu.visible)

            mouseClick(findChild(picker, "languageButton"))
            verify(menu.visible)
            mouseClick(root, 5, root.height - 5) // outside the list
            verify(!menu.visible)
            compare(LanguageManager.language, chosen)

            mouseClick(findChild(picker, "languageButton"))
            compare(picker.menu, menu) // built once
            var russian = findChild(menu, "language_ru")
            verify(russian.visible)
            mouseClick(russian)
            verify(!menu.visible)
            compare(LanguageManager.language, "ru")
            LanguageManager.setLanguageCode(chosen)
        }
    }
}
