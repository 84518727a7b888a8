#pragma once

#include "api/NodeInfo.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

// What every command of the command-line client prints with: the tables' texts and the client's JSON
// forms of a node and a probe result.
namespace CliFormat {

using namespace std::chrono_literals;

inline const QString kLatencyKey = QStringLiteral("lastLatencies");
inline const QString kListedIdsKey = QStringLiteral("lastListedNodeIds"); // for the shell's completion
constexpr auto kQuitCleanupLimit = 12s;
constexpr auto kHolderDisconnectLimit = 15s; // for the app or another client to clean up
constexpr auto kFollowPoll = 1s;

// The table's text of key, with its "%@"s filled.
QString localized(const QString &key);
QString formatted(const QString &key, const QString &argument);
QString formatted(const QString &key, const QStringList &arguments);
// A text, or null.
QJsonValue optionalJson(const std::optional<QString> &value);
// A node id as typed on the command line.
std::optional<qint64> nodeId(const QString &text);
// Made of ASCII digits alone: on connect's command line, always an id, never a search.
bool isNodeIdText(const QString &text);

// A node as the client prints it: the service's record in the client's key style (camelCase).
QJsonObject nodeJson(const NodeInfo &node);

// A probe's result: milliseconds, or null with "timeout" set when the probe timed out (or, for a
// node never probed, null without it).
void insertLatency(QJsonObject &object, std::optional<qint64> milliseconds);

// "🇯🇵 Tokyo 01 (id 1)".
QString nodeLabel(const NodeInfo &node);
// "42 ms", or the table's "Timeout".
QString latencyText(qint64 milliseconds);

} // namespace CliFormat
