#pragma once

#include "api/ApiRecords.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QObject>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

class QHttpServer;
class QHttpServerRequest;
class QHttpServerResponse;
class ProbeTargets;

// A local implementation of the service's API on 127.0.0.1, for the demo and the tests: in-memory
// accounts, rotating tokens with a configurable lifetime, and a versioned node list whose nodes point
// at TCP endpoints it opens itself.
class DevService : public QObject {
    Q_OBJECT
public:
    struct Options {
        std::chrono::milliseconds accessTokenTtl{std::chrono::minutes(15)};
        // New accounts get an active trial of this many days; 0 gives them no subscription.
        int trialDays = 7;
        // Put in front of every token and of the key, so a test can find them wherever they leak.
        QString secretPrefix;
    };

    struct Account {
        QString email;
        QString password;
    };

    explicit DevService(Options options, QObject *parent = nullptr);
    ~DevService() override;

    // Listens on 127.0.0.1 (port 0: the system chooses). False when it cannot.
    bool listen(quint16 port = 0);
    QUrl baseUrl() const;

    Account activeDemoAccount() const { return m_activeDemo; }
    Account freeDemoAccount() const { return m_freeDemo; }

    // For tests: the list, its version, the key, request counts, and the clock of the tokens.
    QList<NodeInfo> nodes() const { return m_nodes; }
    void setNodes(QList<NodeInfo> nodes);
    QString nodesVersion() const { return m_nodesVersion; }
    QString psk() const { return m_psk; }
    // How many requests reached this path (for example "/api/auth/refresh").
    int requestCount(const QString &path) const { return m_requestCounts.value(path); }
    void setAccessTokenTtl(std::chrono::milliseconds ttl) { m_options.accessTokenTtl = ttl; }
    // Every access token handed out so far stops working, as if its lifetime had run out.
    void expireAccessTokens();
    void setSubscription(const QString &email, std::optional<SubscriptionInfo> subscription);
    // While set, every bearer token is refused (401), even one just handed out; renewal still works.
    void setRejectAllAccessTokens(bool reject) { m_rejectAllAccessTokens = reject; }

private:
    struct User {
        QString id;
        QString email;
        std::optional<QString> nickname;
        QByteArray salt;
        QByteArray passwordHash;
        std::optional<SubscriptionInfo> subscription;
    };
    struct AccessGrant {
        QString userId;
        QDeadlineTimer expiry;
    };

    void installRoutes();
    QHttpServerResponse count(const QString &path, QHttpServerResponse response);

    QHttpServerResponse registerAccount(const QHttpServerRequest &request);
    QHttpServerResponse login(const QHttpServerRequest &request);
    QHttpServerResponse refresh(const QHttpServerRequest &request);
    QHttpServerResponse logout(const QHttpServerRequest &request);
    QHttpServerResponse userMe(const QHttpServerRequest &request);
    QHttpServerResponse nodeList(const QHttpServerRequest &request);

    User &addUser(const QString &email, const QString &password, std::optional<QString> nickname,
                  std::optional<SubscriptionInfo> subscription);
    AuthResponse issueTokens(const User &user);
    // The user behind a valid, unexpired bearer token, or none.
    User *authenticate(const QHttpServerRequest &request);
    void seedNodes();

    Options m_options;
    std::unique_ptr<QHttpServer> m_server;
    quint16 m_port = 0;
    ProbeTargets *m_targets;

    QHash<QString, User> m_usersByEmail; // key: e-mail in lower case
    QHash<QString, QString> m_emailById;
    QHash<QString, AccessGrant> m_accessTokens;
    QHash<QString, QString> m_refreshTokens; // token -> user id
    QList<NodeInfo> m_nodes;
    QString m_nodesVersion;
    QString m_psk;
    QHash<QString, int> m_requestCounts;
    Account m_activeDemo;
    Account m_freeDemo;
    bool m_rejectAllAccessTokens = false;
};
