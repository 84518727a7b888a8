#include "BenchSupport.h"
#include "app/AppViewModel.h"
#include "app/NodeCatalog.h"
#include "nodes/NodeFilterModel.h"
#include "platform/PreferenceStore.h"

namespace Bench {

// P9: the search above a list of 10,000 nodes, typed a letter at a time and deleted again: the longest
// a keystroke keeps the main thread filtering the rows.
void search()
{
    static const char *const places[][3] = {
        {"Zürich", "CH", "Schweiz"},         {"São Paulo", "BR", "Brasil"}, {"Tokyo", "JP", "Japan"},
        {"Москва", "RU", "Россия"},          {"Kraków", "PL", "Polska"},    {"Reykjavík", "IS", "Ísland"},
        {"New York", "US", "United States"}, {"台北", "TW", "臺灣"},
    };
    QList<NodeInfo> nodes = manyNodes(10000, 443);
    for (NodeInfo &node : nodes) {
        const auto &place = places[node.id % std::size(places)];
        node.name = QString::fromUtf8(place[0]) + QLatin1Char(' ') + QString::number(node.id);
        node.countryCode = QString::fromUtf8(place[1]);
        node.countryName = QString::fromUtf8(place[2]);
    }
    QTemporaryDir dir;
    AppEnvironment environment =
        AppEnvironment::production(PreferenceStore::openFile(dir.filePath(QStringLiteral("s.conf"))));
    environment.apiBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:9/"));
    AppViewModel vm(environment);
    vm.nodeCatalog().take(NodesResponse{QStringLiteral("v1"), QStringLiteral("key"), nodes, false});

    QList<double> keystrokes;
    bool rightRows = true;
    const auto type = [&](const QString &query) {
        QElapsedTimer clock;
        clock.start();
        vm.searchNodes(query);
        keystrokes.append(double(clock.nsecsElapsed()) / 1e6);
    };
    for (const QString &word : {QStringLiteral("sao paulo 12"), QStringLiteral("москва"), QStringLiteral("jp")}) {
        for (qsizetype length = 1; length <= word.size(); ++length)
            type(word.left(length));
        if (word == QLatin1String("jp"))
            rightRows = vm.nodeRows()->count() == 1250;
        for (qsizetype length = word.size() - 1; length >= 0; --length)
            type(word.left(length));
    }
    rightRows = rightRows && vm.nodeRows()->count() == 10000;
    const double worst = *std::max_element(keystrokes.cbegin(), keystrokes.cend());
    add({QStringLiteral("P9 search 10,000 nodes: slowest of %1 keystrokes").arg(keystrokes.size()),
         number(worst, 2) + QStringLiteral(" ms"),
         QStringLiteral("median ") + number(median(keystrokes), 2) + QStringLiteral(" ms"), QString(),
         QStringLiteral("<= 16 ms"), rightRows && worst <= 16});
}

} // namespace Bench
