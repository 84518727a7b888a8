#pragma once

#include "ApiRecords.h"

#include <QCoroTask>
#include <QPointer>
#include <QUrl>

#include <chrono>
#include <optional>

class QNetworkAccessManager;

// The only place that speaks HTTP to the service: the six endpoints, each one request with a JSON body,
// the status check and a strict decode. Holds nothing but its configuration; a call in flight keeps
// its own copy, so it may outlive the object that started it.
class ApiService {
public:
    struct Config {
        QPointer<QNetworkAccessManager> network;
        QUrl baseUrl;                             // absolute, ending in "/"
        std::chrono::milliseconds timeout{15000}; // without progress
        qint64 maxResponseBytes = 16 * 1024 * 1024;
        std::chrono::milliseconds deadline{60000}; // for the whole exchange, however steady
    };

    explicit ApiService(Config config);

    QCoro::Task<ApiResult<AuthResponse>> login(QString email, QString password) const;
    QCoro::Task<ApiResult<AuthResponse>> registerAccount(QString email, QString password,
                                                         std::optional<QString> nickname) const;
    QCoro::Task<ApiResult<AuthResponse>> refreshTokens(QString refreshToken) const;
    // Never fails; returns once the request has ended one way or another.
    QCoro::Task<> logout(QString accessToken, QString refreshToken) const;
    QCoro::Task<ApiResult<UserMeResponse>> getUserMe(QString accessToken) const;
    // An absent or empty version sends no query at all.
    QCoro::Task<ApiResult<NodesResponse>> getNodes(QString accessToken, std::optional<QString> version) const;

    // The failure a response stands for, or none for a success (2xx) or a non-HTTP answer (status < 0).
    static std::optional<ApiError> checkStatus(int httpStatus, const QByteArray &body);
    // The computer's user-visible name, or "mac_unknown".
    static QString deviceFingerprint();

    static inline const QString platformName = QStringLiteral("MACOS");

private:
    Config m_config;
};
