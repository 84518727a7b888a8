#include "CliFormat.h"

#include "i18n/LanguageManager.h"

#include <algorithm>

namespace CliFormat {

QString localized(const QString &key)
{
    return LanguageManager::shared().localized(key);
}

QString formatted(const QString &key, const QString &argument)
{
    return LanguageManager::shared().formatted(key, argument);
}

QString formatted(const QString &key, const QStringList &arguments)
{
    return LanguageManager::shared().formatted(key, arguments);
}

QJsonValue optionalJson(const std::optional<QString> &value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

bool isNodeIdText(const QString &text)
{
    return !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

std::optional<qint64> nodeId(const QString &text)
{
    bool ok = false;
    const qint64 id = text.toLongLong(&ok);
    return ok ? std::optional(id) : std::nullopt;
}

// A node as the client prints it: the service's record in the client's key style (camelCase).
QJsonObject nodeJson(const NodeInfo &node)
{
    QJsonObject object{{QStringLiteral("id"), node.id},
                       {QStringLiteral("name"), node.name},
                       {QStringLiteral("countryCode"), node.countryCode},
                       {QStringLiteral("countryName"), node.countryName},
                       {QStringLiteral("flagEmoji"), node.flagEmoji},
                       {QStringLiteral("host"), node.host},
                       {QStringLiteral("port"), node.port},
                       {QStringLiteral("status"), node.status},
                       {QStringLiteral("loadPercent"), node.loadPercent},
                       {QStringLiteral("sni"), node.sni ? QJsonValue(*node.sni) : QJsonValue(QJsonValue::Null)}};
    return object;
}

// A probe's result: milliseconds, or null with "timeout" set when the probe timed out (or, for a
// node never probed, null without it).
void insertLatency(QJsonObject &object, std::optional<qint64> milliseconds)
{
    const bool timedOut = milliseconds && *milliseconds < 0;
    object.insert(QStringLiteral("latencyMs"),
                  milliseconds && !timedOut ? QJsonValue(*milliseconds) : QJsonValue(QJsonValue::Null));
    object.insert(QStringLiteral("timeout"), timedOut);
}

QString nodeLabel(const NodeInfo &node)
{
    return QStringLiteral("%1 %2 (id %3)").arg(node.flagEmoji, node.name, QString::number(node.id));
}

QString latencyText(qint64 milliseconds)
{
    return milliseconds < 0 ? localized(QStringLiteral("timeout")) : QStringLiteral("%1 ms").arg(milliseconds);
}

} // namespace CliFormat
