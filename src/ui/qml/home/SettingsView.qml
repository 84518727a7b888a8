import QtQuick
import QtQuick.Layouts
import Nimbrel.Ui

// The settings: the switches the tray menu also offers, the language, the account and the support
// report. Done or Esc goes back to the home screen.
Rectangle {
    id: root
    objectName: "settingsView"

    // Opened from the keyboard: the keyboard starts on its first switch.
    property bool byKeyboard: false
    signal closed()

    color: Theme.clrBgDeep
    Keys.onEscapePressed: root.closed()
    Component.onCompleted: {
        if (byKeyboard)
            switchRows.itemAt(0).forceActiveFocus(Qt.TabFocusReason)
        else
            forceActiveFocus() // Esc closes
    }

    Flickable {
        id: scroll
        objectName: "settingsScroll"
        anchors.fill: parent
        contentHeight: column.implicitHeight + 32
        clip: true

        ColumnLayout {
            id: column
            x: 16
            y: 16
            width: parent.width - 32
            spacing: 16

            RowLayout {
                Layout.fillWidth: true
                Text {
                    Layout.fillWidth: true
                    text: qsTr("settings")
                    color: Theme.clrTextPrimary
                    font.pixelSize: 17
                    font.bold: true
                }
                TapButton {
                    id: doneButton
                    objectName: "settingsDoneButton"
                    text: qsTr("settings_done")
                    implicitWidth: doneLabel.implicitWidth
                    implicitHeight: doneLabel.implicitHeight
                    Text {
                        id: doneLabel
                        text: doneButton.text
                        color: Theme.clrPrimary
                        font.pixelSize: 14
                        font.weight: Font.DemiBold
                    }
                    onClicked: root.closed()
                }
            }

            CardBackground {
                Layout.fillWidth: true
                implicitHeight: switches.implicitHeight + 16
                Column {
                    id: switches
                    x: 16
                    y: 8
                    width: parent.width - 32
                    Repeater {
                        id: switchRows
                        model: Settings.switchKeys()
                        ToggleRow {
                            required property string modelData
                            objectName: "switch_" + modelData
                            width: switches.width
                            text: qsTr(Settings.labelKey(modelData))
                            checked: Settings.isOn(modelData)
                            onClicked: checked = Settings.setOn(modelData, !checked)
                        }
                    }
                }
            }

            CardBackground {
                Layout.fillWidth: true
                implicitHeight: details.implicitHeight + 32
                GridLayout {
                    id: details
                    x: 16
                    y: 16
                    width: parent.width - 32
                    columns: 2
                    rowSpacing: 12
                    columnSpacing: 12
                    Text {
                        text: qsTr("settings_language")
                        color: Theme.clrTextSecondary
                        font.pixelSize: 13
                    }
                    LanguagePicker { Layout.alignment: Qt.AlignRight }
                    Text {
                        text: qsTr("settings_account")
                        color: Theme.clrTextSecondary
                        font.pixelSize: 13
                    }
                    Text {
                        objectName: "settingsEmailText"
                        Layout.fillWidth: true
                        horizontalAlignment: Text.AlignRight
                        text: AppViewModel.userEmail
                        textFormat: Text.PlainText
                        elide: Text.ElideMiddle
                        color: Theme.clrTextPrimary
                        font.pixelSize: 13
                    }
                }
            }

            RowLayout {
                Layout.fillWidth: true
                spacing: 12
                PrimaryButton {
                    id: reportButton
                    objectName: "copyReportButton"
                    Layout.fillWidth: true
                    text: qsTr("copy_support_report")
                    fill: Theme.clrBgCard
                    labelSize: 13
                    onClicked: Settings.copySupportReport()
                }
                Text {
                    id: copied
                    objectName: "reportCopiedText"
                    visible: false
                    text: qsTr("report_copied")
                    color: Theme.clrConnected
                    font.pixelSize: 13
                    Timer {
                        id: copiedShown
                        interval: 3000
                        onTriggered: copied.visible = false
                    }
                    Connections {
                        target: Settings
                        function onSupportReportCopied() {
                            copied.visible = true
                            copiedShown.restart()
                        }
                    }
                }
            }
        }
    }
    PageScrollBar { flickable: scroll }
}
