#include "ApiRecords.h"

#include "JsonFields.h"

#include <QJsonArray>

using namespace Qt::Literals::StringLiterals;

namespace {

// The records in list order; the failure reported is the first one in list order.
QList<NodeInfo> decodeNodeList(const QJsonArray &list, QString *error)
{
    QList<NodeInfo> nodes;
    nodes.reserve(list.size());
    for (const QJsonValue &entry : list) {
        if (!entry.isObject()) {
            *error = QStringLiteral("node list: an entry of \"nodes\" is not an object");
            return {};
        }
        ApiResult<NodeInfo> node = NodeInfo::fromJson(entry.toObject());
        if (!node) {
            *error = node.error().message;
            return {};
        }
        nodes.append(std::move(node).value());
    }
    return nodes;
}

void insertIfPresent(QJsonObject &object, const QString &key, const std::optional<QString> &value)
{
    if (value)
        object.insert(key, *value);
}

} // namespace

ApiResult<NodesResponse> NodesResponse::fromJson(const QJsonObject &object)
{
    JsonFields fields(object, QStringLiteral("node list"));
    NodesResponse response;
    response.version = fields.requiredString("version"_L1);
    response.psk = fields.requiredString("psk"_L1);
    if (const std::optional<QJsonArray> list = fields.optionalArray("nodes"_L1)) {
        QString problem;
        QList<NodeInfo> nodes = decodeNodeList(*list, &problem);
        if (problem.isEmpty())
            response.nodes = std::move(nodes);
        else
            fields.fail(problem);
    }
    response.cached = fields.requiredBool("cached"_L1);
    if (!fields.ok())
        return ApiError::decoding(fields.error());
    return response;
}

QJsonObject NodesResponse::toJson() const
{
    QJsonObject object{
        {QStringLiteral("version"), version},
        {QStringLiteral("psk"), psk},
        {QStringLiteral("cached"), cached},
    };
    if (nodes) {
        QJsonArray list;
        for (const NodeInfo &node : *nodes)
            list.append(node.toJson());
        object.insert(QStringLiteral("nodes"), list);
    }
    return object;
}

ApiResult<UserInfo> UserInfo::fromJson(const QJsonObject &object)
{
    JsonFields fields(object, QStringLiteral("user"));
    UserInfo user;
    user.id = fields.requiredString("id"_L1);
    user.email = fields.requiredString("email"_L1);
    user.nickname = fields.optionalString("nickname"_L1);
    if (!fields.ok())
        return ApiError::decoding(fields.error());
    return user;
}

QJsonObject UserInfo::toJson() const
{
    QJsonObject object{{QStringLiteral("id"), id}, {QStringLiteral("email"), email}};
    insertIfPresent(object, QStringLiteral("nickname"), nickname);
    return object;
}

ApiResult<AuthResponse> AuthResponse::fromJson(const QJsonObject &object)
{
    JsonFields fields(object, QStringLiteral("sign-in answer"));
    AuthResponse response;
    const QJsonObject user = fields.requiredObject("user"_L1);
    if (fields.ok()) {
        ApiResult<UserInfo> decoded = UserInfo::fromJson(user);
        if (decoded)
            response.user = std::move(decoded).value();
        else
            fields.fail(decoded.error().message);
    }
    response.accessToken = fields.requiredString("accessToken"_L1);
    response.refreshToken = fields.requiredString("refreshToken"_L1);
    if (!fields.ok())
        return ApiError::decoding(fields.error());
    return response;
}

QJsonObject AuthResponse::toJson() const
{
    return {
        {QStringLiteral("user"), user.toJson()},
        {QStringLiteral("accessToken"), accessToken},
        {QStringLiteral("refreshToken"), refreshToken},
    };
}

ApiResult<SubscriptionInfo> SubscriptionInfo::fromJson(const QJsonObject &object)
{
    JsonFields fields(object, QStringLiteral("subscription"));
    SubscriptionInfo subscription;
    subscription.status = fields.requiredString("status"_L1);
    subscription.planName = fields.optionalString("planName"_L1);
    subscription.expiresAt = fields.optionalString("expiresAt"_L1);
    if (!fields.ok())
        return ApiError::decoding(fields.error());
    return subscription;
}

QJsonObject SubscriptionInfo::toJson() const
{
    QJsonObject object{{QStringLiteral("status"), status}};
    insertIfPresent(object, QStringLiteral("planName"), planName);
    insertIfPresent(object, QStringLiteral("expiresAt"), expiresAt);
    return object;
}

ApiResult<UserMeResponse> UserMeResponse::fromJson(const QJsonObject &object)
{
    JsonFields fields(object, QStringLiteral("account answer"));
    UserMeResponse response;
    if (const std::optional<QJsonObject> subscription = fields.optionalObject("subscription"_L1)) {
        ApiResult<SubscriptionInfo> decoded = SubscriptionInfo::fromJson(*subscription);
        if (decoded)
            response.subscription = std::move(decoded).value();
        else
            fields.fail(decoded.error().message);
    }
    if (!fields.ok())
        return ApiError::decoding(fields.error());
    return response;
}

QJsonObject UserMeResponse::toJson() const
{
    QJsonObject object;
    if (subscription)
        object.insert(QStringLiteral("subscription"), subscription->toJson());
    return object;
}

ApiResult<EmptyResponse> EmptyResponse::fromBody(const QByteArray &body)
{
    if (!JsonText::isWellFormed(body))
        return ApiError::decoding(QStringLiteral("The response is not valid JSON"));
    return EmptyResponse{};
}

QJsonObject LoginRequest::toJson() const
{
    return {
        {QStringLiteral("email"), email},
        {QStringLiteral("password"), password},
        {QStringLiteral("deviceFingerprint"), deviceFingerprint},
        {QStringLiteral("platform"), platform},
    };
}

QJsonObject RegisterRequest::toJson() const
{
    QJsonObject object{
        {QStringLiteral("email"), email},
        {QStringLiteral("password"), password},
        {QStringLiteral("deviceFingerprint"), deviceFingerprint},
        {QStringLiteral("platform"), platform},
    };
    insertIfPresent(object, QStringLiteral("nickname"), nickname);
    return object;
}

QJsonObject RefreshTokenBody::toJson() const
{
    return {{QStringLiteral("refreshToken"), refreshToken}};
}
