#include "DevService.h"

#include "ProbeTargets.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QUuid>

namespace {

using StatusCode = QHttpServerResponder::StatusCode;

QHttpServerResponse json(const QJsonObject &object, int status = 200)
{
    return QHttpServerResponse(object, static_cast<StatusCode>(status));
}

QHttpServerResponse failure(int status, const QString &message)
{
    return json({{QStringLiteral("message"), message}}, status);
}

std::optional<QJsonObject> bodyObject(const QHttpServerRequest &request)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(request.body(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

// A text field of a request body: none when missing or not text.
std::optional<QString> textField(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? std::optional(value.toString()) : std::nullopt;
}

QString randomToken()
{
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QByteArray hashPassword(const QByteArray &salt, const QString &password)
{
    return QCryptographicHash::hash(salt + password.toUtf8(), QCryptographicHash::Sha256);
}

bool looksLikeEmail(const QString &email)
{
    const qsizetype at = email.indexOf(QLatin1Char('@'));
    return at > 0 && at < email.size() - 1 && !email.contains(QLatin1Char(' '));
}

QString isoInDays(int days)
{
    return QDateTime::currentDateTimeUtc().addDays(days).toString(Qt::ISODateWithMs);
}

NodeInfo demoNode(qint64 id, const char *name, const char *code, const char *country, const char *flag, qint64 load,
                  const char *status, std::optional<QString> sni)
{
    NodeInfo node;
    node.id = id;
    node.name = QString::fromUtf8(name);
    node.countryCode = QString::fromLatin1(code);
    node.countryName = QString::fromUtf8(country);
    node.flagEmoji = QString::fromUtf8(flag);
    node.host = QStringLiteral("127.0.0.1");
    node.status = QString::fromLatin1(status);
    node.loadPercent = load;
    node.sni = std::move(sni);
    return node;
}

} // namespace

DevService::DevService(Options options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_server(std::make_unique<QHttpServer>())
    , m_targets(new ProbeTargets(this))
    , m_psk(m_options.secretPrefix + randomToken())
{
    m_activeDemo = {QStringLiteral("demo@nimbrel.test"), QStringLiteral("nimbrel-demo")};
    m_freeDemo = {QStringLiteral("free@nimbrel.test"), QStringLiteral("nimbrel-free")};
    addUser(m_activeDemo.email, m_activeDemo.password, QStringLiteral("Demo"),
            SubscriptionInfo{QStringLiteral("ACTIVE"), QStringLiteral("Pro (monthly)"), isoInDays(30)});
    addUser(m_freeDemo.email, m_freeDemo.password, std::nullopt, std::nullopt);
    seedNodes();
    installRoutes();
}

DevService::~DevService() = default;

bool DevService::listen(quint16 port)
{
    m_port = m_server->listen(QHostAddress::LocalHost, port);
    return m_port != 0;
}

QUrl DevService::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(m_port));
}

void DevService::setNodes(QList<NodeInfo> nodes)
{
    m_nodes = std::move(nodes);
    QJsonArray list;
    for (const NodeInfo &node : m_nodes)
        list.append(node.toJson());
    const QByteArray digest =
        QCryptographicHash::hash(QJsonDocument(list).toJson(QJsonDocument::Compact), QCryptographicHash::Sha256);
    m_nodesVersion = QString::fromLatin1(digest.toHex().left(12));
}

void DevService::expireAccessTokens()
{
    m_accessTokens.clear();
}

void DevService::setSubscription(const QString &email, std::optional<SubscriptionInfo> subscription)
{
    auto found = m_usersByEmail.find(email.toLower());
    if (found != m_usersByEmail.end())
        found->subscription = std::move(subscription);
}

void DevService::seedNodes()
{
    const auto open = [this] { return m_targets->openListener(); };
    QList<NodeInfo> nodes{
        demoNode(1, "Tokyo 01", "JP", "Japan", "🇯🇵", 23, "ONLINE", QStringLiteral("tokyo.nimbrel.test")),
        demoNode(2, "Singapore 01", "SG", "Singapore", "🇸🇬", 41, "ONLINE", QStringLiteral("sg.nimbrel.test")),
        demoNode(3, "Frankfurt 01", "DE", "Germany", "🇩🇪", 55, "ONLINE", std::nullopt),
        demoNode(4, "London 01", "GB", "United Kingdom", "🇬🇧", 67, "ONLINE", QStringLiteral("lon.nimbrel.test")),
        demoNode(5, "New York 01", "US", "United States", "🇺🇸", 78, "ONLINE", QStringLiteral("nyc.nimbrel.test")),
        demoNode(6, "Los Angeles 01", "US", "United States", "🇺🇸", 12, "ONLINE", QString()),
        demoNode(7, "Hong Kong 01", "HK", "Hong Kong", "🇭🇰", 35, "ONLINE", QStringLiteral("hk.nimbrel.test")),
        demoNode(8, "Seoul 01", "KR", "South Korea", "🇰🇷", 49, "ONLINE", QStringLiteral("seoul.nimbrel.test")),
        demoNode(9, "Amsterdam 01", "NL", "Netherlands", "🇳🇱", 50, "ONLINE", QStringLiteral("ams.nimbrel.test")),
        demoNode(10, "Sydney 01", "AU", "Australia", "🇦🇺", 74, "OFFLINE", QStringLiteral("syd.nimbrel.test")),
        demoNode(11, "Toronto 01", "CA", "Canada", "🇨🇦", 90, "ONLINE", QStringLiteral("tor.nimbrel.test")),
        demoNode(12, "São Paulo 01", "BR", "Brazil", "🇧🇷", 30, "ONLINE", QStringLiteral("sao.nimbrel.test")),
    };
    for (NodeInfo &node : nodes)
        node.port = open();
    nodes[8].host = QStringLiteral("localhost");  // a name to resolve, not only an address
    nodes[10].port = m_targets->refusingPort();   // nothing listens: refused at once
    nodes[11].port = m_targets->silentListener(); // never completes a handshake
    setNodes(std::move(nodes));
}

DevService::User &DevService::addUser(const QString &email, const QString &password, std::optional<QString> nickname,
                                      std::optional<SubscriptionInfo> subscription)
{
    User user;
    user.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    user.email = email;
    user.nickname = std::move(nickname);
    user.salt = randomToken().toLatin1();
    user.passwordHash = hashPassword(user.salt, password);
    user.subscription = std::move(subscription);
    m_emailById.insert(user.id, email.toLower());
    return *m_usersByEmail.insert(email.toLower(), user);
}

AuthResponse DevService::issueTokens(const User &user)
{
    AuthResponse response;
    response.user = {user.id, user.email, user.nickname};
    response.accessToken = m_options.secretPrefix + randomToken();
    response.refreshToken = m_options.secretPrefix + randomToken();
    m_accessTokens.insert(response.accessToken, {user.id, QDeadlineTimer(m_options.accessTokenTtl)});
    m_refreshTokens.insert(response.refreshToken, user.id);
    return response;
}

DevService::User *DevService::authenticate(const QHttpServerRequest &request)
{
    const QByteArray header = request.value("Authorization");
    if (!header.startsWith("Bearer ") || m_rejectAllAccessTokens)
        return nullptr;
    const QString token = QString::fromUtf8(header.mid(7));
    const auto grant = m_accessTokens.constFind(token);
    if (grant == m_accessTokens.constEnd())
        return nullptr;
    if (grant->expiry.hasExpired()) {
        m_accessTokens.remove(token);
        return nullptr;
    }
    auto user = m_usersByEmail.find(m_emailById.value(grant->userId));
    return user == m_usersByEmail.end() ? nullptr : &*user;
}

void DevService::installRoutes()
{
    using Method = QHttpServerRequest::Method;
    const auto add = [this](const QString &path, Method method,
                            QHttpServerResponse (DevService::*handler)(const QHttpServerRequest &)) {
        m_server->route(path, method, [this, path, handler](const QHttpServerRequest &request) {
            return count(path, (this->*handler)(request));
        });
    };
    add(QStringLiteral("/api/auth/register"), Method::Post, &DevService::registerAccount);
    add(QStringLiteral("/api/auth/login"), Method::Post, &DevService::login);
    add(QStringLiteral("/api/auth/refresh"), Method::Post, &DevService::refresh);
    add(QStringLiteral("/api/auth/logout"), Method::Post, &DevService::logout);
    add(QStringLiteral("/api/user/me"), Method::Get, &DevService::userMe);
    add(QStringLiteral("/api/nodes"), Method::Get, &DevService::nodeList);
}

QHttpServerResponse DevService::count(const QString &path, QHttpServerResponse response)
{
    ++m_requestCounts[path];
    return response;
}

QHttpServerResponse DevService::registerAccount(const QHttpServerRequest &request)
{
    const std::optional<QJsonObject> body = bodyObject(request);
    if (!body)
        return failure(400, QStringLiteral("The request body must be a JSON object"));
    const std::optional<QString> email = textField(*body, QStringLiteral("email"));
    const std::optional<QString> password = textField(*body, QStringLiteral("password"));
    const QJsonValue nickname = body->value(QStringLiteral("nickname"));
    if (!email || !looksLikeEmail(email->trimmed()))
        return failure(400, QStringLiteral("A valid e-mail address is required"));
    if (!password || password->toUcs4().size() < 8)
        return failure(400, QStringLiteral("The password must have at least 8 characters"));
    if (!nickname.isUndefined() && !nickname.isString())
        return failure(400, QStringLiteral("The nickname must be text"));
    if (!textField(*body, QStringLiteral("deviceFingerprint")) || !textField(*body, QStringLiteral("platform")))
        return failure(400, QStringLiteral("The device fingerprint and platform are required"));
    if (m_usersByEmail.contains(email->trimmed().toLower()))
        return failure(409, QStringLiteral("This e-mail address is already registered"));

    std::optional<SubscriptionInfo> trial;
    if (m_options.trialDays > 0)
        trial = SubscriptionInfo{QStringLiteral("ACTIVE"), QStringLiteral("Trial"), isoInDays(m_options.trialDays)};
    const User &user = addUser(email->trimmed(), *password,
                               nickname.isString() ? std::optional(nickname.toString()) : std::nullopt, trial);
    return json(issueTokens(user).toJson());
}

QHttpServerResponse DevService::login(const QHttpServerRequest &request)
{
    const std::optional<QJsonObject> body = bodyObject(request);
    if (!body)
        return failure(400, QStringLiteral("The request body must be a JSON object"));
    const std::optional<QString> email = textField(*body, QStringLiteral("email"));
    const std::optional<QString> password = textField(*body, QStringLiteral("password"));
    if (!email || !password)
        return failure(400, QStringLiteral("E-mail and password are required"));
    const auto user = m_usersByEmail.constFind(email->trimmed().toLower());
    if (user == m_usersByEmail.constEnd() || hashPassword(user->salt, *password) != user->passwordHash)
        return failure(401, QStringLiteral("Invalid e-mail or password"));
    return json(issueTokens(*user).toJson());
}

QHttpServerResponse DevService::refresh(const QHttpServerRequest &request)
{
    const std::optional<QJsonObject> body = bodyObject(request);
    const std::optional<QString> token = body ? textField(*body, QStringLiteral("refreshToken")) : std::nullopt;
    if (!token)
        return failure(400, QStringLiteral("A refresh token is required"));
    const QString userId = m_refreshTokens.take(*token); // rotation: a refresh token works once
    const auto user = m_usersByEmail.constFind(m_emailById.value(userId));
    if (userId.isEmpty() || user == m_usersByEmail.constEnd())
        return failure(401, QStringLiteral("The session has expired, please sign in again"));
    return json(issueTokens(*user).toJson());
}

QHttpServerResponse DevService::logout(const QHttpServerRequest &request)
{
    const std::optional<QJsonObject> body = bodyObject(request);
    if (const std::optional<QString> token = body ? textField(*body, QStringLiteral("refreshToken")) : std::nullopt)
        m_refreshTokens.remove(*token);
    const QByteArray header = request.value("Authorization");
    if (header.startsWith("Bearer "))
        m_accessTokens.remove(QString::fromUtf8(header.mid(7)));
    return json({{QStringLiteral("message"), QStringLiteral("Signed out")}});
}

QHttpServerResponse DevService::userMe(const QHttpServerRequest &request)
{
    const User *user = authenticate(request);
    if (!user)
        return failure(401, QStringLiteral("Token expired"));
    QJsonObject answer{{QStringLiteral("id"), user->id}, {QStringLiteral("email"), user->email}};
    if (user->subscription)
        answer.insert(QStringLiteral("subscription"), user->subscription->toJson());
    return json(answer);
}

QHttpServerResponse DevService::nodeList(const QHttpServerRequest &request)
{
    const User *user = authenticate(request);
    if (!user)
        return failure(401, QStringLiteral("Token expired"));
    if (!user->subscription || user->subscription->status != QLatin1String("ACTIVE"))
        return failure(403, QStringLiteral("An active subscription is required"));
    NodesResponse answer;
    answer.version = m_nodesVersion;
    answer.psk = m_psk;
    answer.cached = request.query().queryItemValue(QStringLiteral("version"), QUrl::FullyDecoded) == m_nodesVersion;
    if (!answer.cached)
        answer.nodes = m_nodes;
    return json(answer.toJson());
}
