import QtQuick
import QtTest
import Nimbrel.Ui

Item {
    id: root
    width: 400
    height: 80

    Component { id: rowComponent; NodeItem { width: 400 } }
    // An online node never probed nor selected; each row of the table changes some of it.
    readonly property var plainNode: ({ nodeId: 7, name: "Tokyo 01", countryName: "Japan", flagEmoji: "🇯🇵", loadPercent: 10, isOnline: true,
                                        hasPing: false, pingMs: 0, isPinging: false, isSelected: false, index: 0, isLast: true })

    TestCase {
        name: "NodeRow"
        when: windowShown

        // A row made with the given properties, and what its parts then show ("part.property": value).
        // Where load and latency levels begin UiFormat's own test proves; these rows prove each level's colour.
        function test_row_data() {
            return [
                { tag: "load 49", set: { loadPercent: 49 }, shows: { "loadBar.barColor": Theme.clrConnected } },
                { tag: "load 50", set: { loadPercent: 50 }, shows: { "loadBar.barColor": Theme.clrWarning } },
                { tag: "load 75", set: { loadPercent: 75 }, shows: { "loadBar.barColor": Theme.clrError } },
                { tag: "99 ms", set: { hasPing: true, pingMs: 99 }, says: "latency 99 ms",
                  shows: { "latencyBadge.badgeColor": Theme.clrConnected, "latencyText.text": "99 ms" } },
                { tag: "100 ms", set: { hasPing: true, pingMs: 100 },
                  shows: { "latencyBadge.badgeColor": Theme.clrWarning, "latencyText.text": "100 ms" } },
                { tag: "200 ms", set: { hasPing: true, pingMs: 200 },
                  shows: { "latencyBadge.badgeColor": Theme.clrError, "latencyText.text": "200 ms" } },
                { tag: "timeout", set: { hasPing: true, pingMs: -1 }, says: "Timeout",
                  shows: { "latencyBadge.badgeColor": Theme.clrError, "latencyText.text": "Timeout" } },
                { tag: "never probed, online, not selected", set: {}, says: "latency not measured", shows: {
                  "offlineBadge.visible": false, "selectionDot.border.color": Theme.clrTextDim, "nameText.truncated": false } },
                { tag: "offline, selected", set: { isOnline: false, isSelected: true },
                  says: "latency not measured, Offline, selected",
                  shows: { "offlineBadge.visible": true, "selectionDot.color": Theme.clrPrimary } },
                { tag: "a name of 10,000 letters", set: { name: "W".repeat(10000) }, shows: { "nameText.truncated": true } },
                { tag: "markup in a name, shown as typed", set: { name: "A<br>B<br><img src=\"x.png\">" },
                  shows: { "nameText.lineCount": 1 } }
            ]
        }
        function test_row(data) {
            var row = createTemporaryObject(rowComponent, root, Object.assign({}, root.plainNode, data.set))
            compare(findChild(row, "latencyBadge").visible, data.set.hasPing === true, "latencyBadge.visible")
            // The name's direction cannot spill into the row (an override in it reaches no further).
            compare(findChild(row, "nameText").text, "\u2068" + row.name + "\u2069")
            for (var path in data.shows) {
                var names = path.split(".")
                var value = findChild(row, names[0])
                for (var i = 1; i < names.length; ++i)
                    value = value[names[i]]
                compare(value, data.shows[path], path)
            }
            // The probe column ends at the row's right padding, however long the name.
            var shown = [findChild(row, "ping_7"), findChild(row, "latencyBadge")].filter(item => item.visible)
            compare(Math.max(...shown.map(item => item.mapToItem(row, item.width, 0).x)), row.width - 16)
            // The dot sits at the flag frame's bottom-right corner, 2 right and 2 down.
            var dot = findChild(row, "selectionDot")
            compare(dot.x + dot.width - dot.parent.width, 2)
            compare(dot.y + dot.height - dot.parent.height, 2)
            // A screen reader hears the row's name, country, load and latency, and what else holds.
            if (data.says !== undefined)
                compare(findChild(row, "node_7_select").Accessible.name, "Tokyo 01, Japan, load 10%, " + data.says)
        }

        // What a screen reader hears comes from the language's table.
        function test_spokenInRussian() {
            LanguageManager.setLanguageCode("ru")
            var row = createTemporaryObject(rowComponent, root, Object.assign({}, root.plainNode, { isSelected: true }))
            LanguageManager.setLanguageCode("en")
            compare(findChild(row, "node_7_select").Accessible.name,
                    "Tokyo 01, Japan, нагрузка 10%, задержка не измерена, выбран")
            compare(findChild(row, "ping_7").Accessible.name, "Измерить задержку до Tokyo 01")
        }
    }
}
