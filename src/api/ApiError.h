#pragma once

#include <QString>

// A failed service call: domain, numeric code and a message meant for the user. A rejected HTTP status
// has domain "ApiService" and the status as code; callers decide by code, never by message. Failures
// that are not a status (transport, timeout, a body that does not decode) carry a negative code, so
// they can never be taken for a status such as 401.
struct ApiError {
    QString domain;
    qint64 code = 0;
    QString message;

    static inline const QString statusDomain = QStringLiteral("ApiService");

    static ApiError status(int httpStatus, QString message) { return {statusDomain, httpStatus, std::move(message)}; }
    static ApiError transport(QString message) { return {QStringLiteral("Network"), -1, std::move(message)}; }
    static ApiError decoding(QString message) { return {QStringLiteral("Decoding"), -2, std::move(message)}; }

    bool operator==(const ApiError &) const = default;
};
