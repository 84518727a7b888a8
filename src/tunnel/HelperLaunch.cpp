#include "HelperLaunch.h"

#include "api/NodeInfo.h"

#include <algorithm>

namespace HelperLaunch {

namespace {

bool isPlainWord(const QString &value)
{
    return !value.startsWith(QLatin1Char('-')) && std::none_of(value.cbegin(), value.cend(), [](QChar c) {
        return c.isSpace() || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format;
    });
}

} // namespace

bool isSafe(const NodeInfo &node, const QString &psk)
{
    return node.port >= 1 && node.port <= 65535 && !node.host.isEmpty() && isPlainWord(node.host) &&
           isPlainWord(node.sni.value_or(node.host)) && !psk.contains(QChar(0)) && !psk.contains(QLatin1Char('\n')) &&
           !psk.contains(QLatin1Char('\r'));
}

} // namespace HelperLaunch
