pragma Singleton
import QtQuick

// The app's one dark look: every colour a screen draws with.
QtObject {
    readonly property color clrBgDeep: "#080B18"
    readonly property color clrBgSurface: "#0F1225"
    readonly property color clrBgCard: "#161929"
    readonly property color clrBgCardBorder: "#252848"
    readonly property color clrPrimary: "#6366F1"
    readonly property color clrPrimaryDim: "#3D3F8E"
    readonly property color clrConnected: "#10B981"
    readonly property color clrError: "#EF4444"
    readonly property color clrWarning: "#F59E0B"
    readonly property color clrTextPrimary: "#E8EAF6"
    readonly property color clrTextSecondary: "#9094B8"
    readonly property color clrTextDim: "#4A4E70"

    readonly property color logoGradientEnd: "#818CF8"
    readonly property color authGradientTop: "#0A0D1F"
    readonly property color authGradientBottom: "#08091A"
    readonly property color white: "#FFFFFF"
}
