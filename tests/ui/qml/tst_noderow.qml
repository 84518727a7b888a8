import QtQuick
import QtTest
import Nimbrel.Ui

Item {
    id: root
    width: 400
    height: 80

    Component {
        id: rowComponent
        NodeItem {
            width: 400
            nodeId: 7
            name: "Tokyo 01"
            flagEmoji: "🇯🇵"
            loadPercent: 10
            isOnline: true
            hasPing: false
            pingMs: 0
            isPinging: false
            isSelected: false
            isLast: true
        }
    }

    TestCase {
        name: "NodeRow"
        when: windowShown

        function test_loadColours_data() {
            return [
                { tag: "49", load: 49, colour: Theme.clrConnected },
                { tag: "50", load: 50, colour: Theme.clrWarning },
                { tag: "74", load: 74, colour: Theme.clrWarning },
                { tag: "75", load: 75, colour: Theme.clrError }
            ]
        }
        function test_loadColours(data) {
            var row = createTemporaryObject(rowComponent, root, { loadPercent: data.load })
            compare(findChild(row, "loadBar").barColor, data.colour)
        }

        function test_latencyBadges_data() {
            return [
                { tag: "99", ms: 99, colour: Theme.clrConnected, text: "99 ms" },
                { tag: "100", ms: 100, colour: Theme.clrWarning, text: "100 ms" },
                { tag: "199", ms: 199, colour: Theme.clrWarning, text: "199 ms" },
                { tag: "200", ms: 200, colour: Theme.clrError, text: "200 ms" },
                { tag: "timeout", ms: -1, colour: Theme.clrError, text: "Timeout" }
            ]
        }
        function test_latencyBadges(data) {
            var row = createTemporaryObject(rowComponent, root, { hasPing: true, pingMs: data.ms })
            var badge = findChild(row, "latencyBadge")
            compare(badge.visible, true)
            compare(badge.badgeColor, data.colour)
            compare(findChild(row, "latencyText").text, data.text)
        }

        function test_neverProbedShowsNoBadge() {
            var row = createTemporaryObject(rowComponent, root)
            compare(findChild(row, "latencyBadge").visible, false)
        }

        function test_offlineBadgeAndSelectionDot() {
            var row = createTemporaryObject(rowComponent, root, { isOnline: false, isSelected: true })
            compare(findChild(row, "offlineBadge").visible, true)
            compare(findChild(row, "selectionDot").color, Theme.clrPrimary)
            var plain = createTemporaryObject(rowComponent, root)
            compare(findChild(plain, "offlineBadge").visible, false)
            compare(findChild(plain, "selectionDot").border.color, Theme.clrTextDim)
            // At the flag frame's bottom-right corner, 2 right and 2 down.
            var dot = findChild(plain, "selectionDot")
            compare(dot.x + dot.width - dot.parent.width, 2)
            compare(dot.y + dot.height - dot.parent.height, 2)
        }
    }
}
