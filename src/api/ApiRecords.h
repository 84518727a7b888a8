#pragma once

#include "ApiResult.h"
#include "NodeInfo.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// The records that travel between the client and the service. Responses decode strictly (fromJson);
// requests encode with absent optional keys left out (toJson).

struct NodesResponse {
    QString version;
    QString psk;
    std::optional<QList<NodeInfo>> nodes;
    bool cached = false;

    static ApiResult<NodesResponse> fromJson(const QJsonObject &object);
    QJsonObject toJson() const;
};

struct UserInfo {
    QString id;
    QString email;
    std::optional<QString> nickname;

    static ApiResult<UserInfo> fromJson(const QJsonObject &object);
    QJsonObject toJson() const;
};

struct AuthResponse {
    UserInfo user;
    QString accessToken;
    QString refreshToken;

    static ApiResult<AuthResponse> fromJson(const QJsonObject &object);
    QJsonObject toJson() const;
};

struct SubscriptionInfo {
    QString status;
    std::optional<QString> planName;
    std::optional<QString> expiresAt;

    static ApiResult<SubscriptionInfo> fromJson(const QJsonObject &object);
    QJsonObject toJson() const;
};

struct UserMeResponse {
    std::optional<SubscriptionInfo> subscription;

    static ApiResult<UserMeResponse> fromJson(const QJsonObject &object);
    QJsonObject toJson() const;
};

// Any well-formed JSON answer; the content is not read.
struct EmptyResponse {
    static ApiResult<EmptyResponse> fromBody(const QByteArray &body);
};

struct LoginRequest {
    QString email;
    QString password;
    QString deviceFingerprint;
    QString platform;

    QJsonObject toJson() const;
};

struct RegisterRequest {
    QString email;
    QString password;
    std::optional<QString> nickname;
    QString deviceFingerprint;
    QString platform;

    QJsonObject toJson() const;
};

// The body of a token renewal and of a sign-out.
struct RefreshTokenBody {
    QString refreshToken;

    QJsonObject toJson() const;
};
