#include "ApiRecords.h"

#include "JsonFields.h"

#include <QJsonArray>
#include <QThread>

#include <algorithm>
#include <thread>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

// One slice of a node list, decoded: its records in order, or the first problem in it.
struct NodeSlice {
    QList<NodeInfo> nodes;
    QString error;
};

NodeSlice decodeNodeSlice(const QJsonArray &list, qsizetype begin, qsizetype end)
{
    NodeSlice slice;
    slice.nodes.reserve(end - begin);
    for (qsizetype i = begin; i < end; ++i) {
        const QJsonValue entry = list.at(i);
        if (!entry.isObject()) {
            slice.error = QStringLiteral("node list: an entry of \"nodes\" is not an object");
            break;
        }
        ApiResult<NodeInfo> node = NodeInfo::fromJson(entry.toObject());
        if (!node) {
            slice.error = node.error().message;
            break;
        }
        slice.nodes.append(std::move(node).value());
    }
    return slice;
}

// Every record stands alone, so a long list is decoded in slices on all cores (a few thousand records
// each; shorter lists in one go). The slices are joined in order and the failure reported is the
// first one in list order, exactly as a single pass would find it.
QList<NodeInfo> decodeNodeList(const QJsonArray &list, QString *error)
{
    constexpr qsizetype kSliceMinimum = 2048;
    const qsizetype count = list.size();
    const qsizetype slices =
        std::clamp<qsizetype>(std::min<qsizetype>(QThread::idealThreadCount(), count / kSliceMinimum), 1, 8);
    std::vector<NodeSlice> decoded(static_cast<size_t>(slices));
    const auto bounds = [count, slices](qsizetype slice) { return count * slice / slices; };
    std::vector<std::thread> helpers;
    for (qsizetype slice = 1; slice < slices; ++slice) {
        helpers.emplace_back([&decoded, list, slice, from = bounds(slice), to = bounds(slice + 1)] {
            decoded[size_t(slice)] = decodeNodeSlice(list, from, to);
        });
    }
    decoded[0] = decodeNodeSlice(list, 0, bounds(1));
    for (std::thread &helper : helpers)
        helper.join();

    QList<NodeInfo> nodes;
    nodes.reserve(count);
    for (NodeSlice &slice : decoded) {
        if (!slice.error.isEmpty()) {
            *error = slice.error;
            return {};
        }
        nodes.append(std::move(slice.nodes));
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
