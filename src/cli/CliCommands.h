#pragma once

#include "CliOutput.h"
#include "CliRequest.h"
#include "tunnel/TunnelOwnership.h"

#include <QHash>
#include <QJsonObject>
#include <QList>

#include <optional>

class AppViewModel;
class CliSession;
struct NodeInfo;

// The commands of the command-line client, each a short sequence of the view model's own operations
// (the ones the screens call), waiting for its observed state as a screen would.
class CliCommands {
public:
    // instanceSocket: where the app using the same preference file listens.
    CliCommands(AppViewModel &vm, CliSession &session, const CliOutput &out, const CliRequest &request,
                QString instanceSocket);

    // The exit status.
    int run();

private:
    enum class Nodes { IfSubscribed, Required };
    // What a probe says of each result as it arrives (JSON is only ever written with --json).
    enum class ProbeOutput { None, EachAsItArrives, JsonAsItArrives };
    struct Credentials {
        QString email; // trimmed
        QString password;
    };

    int status();
    int login();
    int registerAccount();
    int logout();
    int nodes();
    int ping();
    int select();
    int mode();
    int language();
    int connect();
    // Connect's operand, digits an id and other text a search: selects the node it names, or writes why
    // none was.
    bool selectNamed(const QString &named);
    // Connect's --fastest: a failure's exit status, or none when a node was selected.
    std::optional<int> selectFastest();
    // A connect the tunnel refused before starting anything: says why, with every place looked in
    // when no helper was found.
    int refusedAtOnce(bool reported);
    int disconnect();
    int config();
    int report();
    // The node ids the last "nodes" listed, for shell completion: no request to the service.
    int listedNodeIds();

    // Opens the stored session and loads the account (and the nodes, as asked). An exit status when
    // that failed (the error is written), none when the session is ready.
    std::optional<int> openSession(Nodes nodes);
    // The e-mail operand and the password from standard input; none (exitCode set, the error written)
    // on bad usage.
    std::optional<Credentials> readCredentials(const QString &usage, int *exitCode) const;
    // After a sign-in or registration: the flow's outcome (who is signed in), then the status.
    int finishSignIn();
    // "me@example.org (Me)", as the service names the account.
    QString accountName() const;
    // The listed node with this id; writes an error and gives none when it is not listed.
    const NodeInfo *requireListed(qint64 id);
    // The listed nodes a search finds (NodeSearch: name, country name or country code), in the list's
    // order.
    QList<NodeInfo> nodesFound(const QString &query) const;
    // The one listed node a search finds; otherwise none, with an error, after listing the nodes found
    // when there are several.
    const NodeInfo *requireOneFound(const QString &query);
    // The nodes as "nodes" shows them: a table, or one JSON document with --json.
    void listNodes(const QList<NodeInfo> &nodes) const;
    // Probes the nodes at once, saying each result as output asks; remembers and returns them.
    QHash<qint64, qint64> probe(const QList<qint64> &ids, ProbeOutput output);
    // The results as a table, the fastest first and timeouts last.
    void printByLatency(QList<qint64> ids, const QHash<qint64, qint64> &results) const;
    void printStatusJson(const QJsonObject &tunnel);
    void printStatus(const QJsonObject &tunnel);
    // After the status: the tunnel's text (a whole status document with --json) at each change, until
    // interrupted.
    int followTunnel();
    // Stops what is left of the tunnel and waits for its clean-up, bounded.
    void finishTunnel();
    // The tunnel another process (or a killed one) drives, as the lock file says: state word and text.
    QJsonObject tunnelJson() const;
    // The tunnel this process drives: state word and text.
    QJsonObject tunnelPhaseJson() const;
    void reportDisconnected(const QString &key) const;
    QHash<qint64, qint64> lastLatencies() const;
    void rememberLatencies(const QHash<qint64, qint64> &results);
    int usageError(const QString &text) const;
    int failure(const QString &text) const;

    AppViewModel &m_vm;
    CliSession &m_session;
    const CliOutput &m_out;
    const CliRequest &m_request;
    QString m_instanceSocket;
    // The process's one lock on the tunnel, the one the view model's tunnel takes: a second object on
    // the same file would take this process's own lease for another's.
    const TunnelOwnership &m_tunnelOwnership;
};
