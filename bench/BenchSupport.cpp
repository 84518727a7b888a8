#include "BenchSupport.h"

#include <QFile>

#include <algorithm>

namespace Bench {

namespace {

QList<Row> g_rows;
QString g_bin;

} // namespace

const QList<Row> &rows()
{
    return g_rows;
}

const QString &binaryFolder()
{
    return g_bin;
}

void setBinaryFolder(const QString &folder)
{
    g_bin = folder;
}

void add(Row row)
{
    g_rows.append(std::move(row));
}

// A copy of the simulated helper in folder under the helper's own name, the only name ever offered to
// the administrator (the build's own file has a name of its own, so that no place searched holds it).
QString simulatedHelperIn(const QTemporaryDir &folder)
{
    const QString helper = folder.filePath(QStringLiteral("nimbrel-macos"));
    QFile::copy(g_bin + QStringLiteral("/../tools/nimbrel-simhelper"), helper);
    QFile::setPermissions(helper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return helper;
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

QString number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QList<NodeInfo> manyNodes(int count, quint16 port)
{
    QList<NodeInfo> nodes;
    nodes.reserve(count);
    for (int i = 1; i <= count; ++i) {
        NodeInfo node;
        node.id = i;
        node.name = QStringLiteral("Node %1").arg(i);
        node.countryCode = QStringLiteral("JP");
        node.countryName = QStringLiteral("Japan");
        node.flagEmoji = QStringLiteral("\U0001F1EF\U0001F1F5");
        node.host = QStringLiteral("127.0.0.1");
        node.port = port;
        node.sni = QStringLiteral("node%1.nimbrel.test").arg(i);
        node.status = i % 10 == 0 ? QStringLiteral("OFFLINE") : QStringLiteral("ONLINE");
        node.loadPercent = i % 100;
        nodes.append(node);
    }
    return nodes;
}

} // namespace Bench
