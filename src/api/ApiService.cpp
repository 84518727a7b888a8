#include "ApiService.h"

#include "JsonFields.h"
#include "i18n/LanguageManager.h"

#include <QCoroTask>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSysInfo>
#include <QTimer>

#include <coroutine>
#include <memory>

Q_LOGGING_CATEGORY(lcApi, "nimbrel.api", QtWarningMsg)

namespace {

struct ReplyDeleter {
    void operator()(QNetworkReply *reply) const
    {
        if (reply)
            reply->deleteLater();
    }
};

// `co_await ReplyFinished{reply}` resumes once the reply has finished, at once when it has already.
struct ReplyFinished {
    QNetworkReply *reply;
    bool await_ready() const { return reply->isFinished(); }
    void await_suspend(std::coroutine_handle<> waiting) const
    {
        QObject::connect(
            reply, &QNetworkReply::finished, reply, [waiting] { waiting.resume(); }, Qt::SingleShotConnection);
    }
    void await_resume() const {}
};

struct RawResponse {
    int status = -1; // -1: not an HTTP answer
    QByteArray body;
};

// Sends one request and waits for the whole answer. Transport failures, timeouts and oversized answers
// come back as errors; any HTTP status comes back as a response for the status check.
QCoro::Task<ApiResult<RawResponse>> send(ApiService::Config config, QNetworkRequest request, QByteArray verb,
                                         QByteArray body)
{
    if (!config.network)
        co_return ApiError::transport(QStringLiteral("The network is not available"));
    request.setTransferTimeout(static_cast<int>(config.timeout.count()));
    // A redirect is answered, not followed: the body and the Authorization header go only to the
    // service's own URL.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    std::unique_ptr<QNetworkReply, ReplyDeleter> reply(verb == "POST" ? config.network->post(request, body)
                                                                      : config.network->get(request));

    // The no-progress timeout never ends an answer that trickles in; this ends every exchange.
    auto tookTooLong = std::make_shared<bool>(false);
    QTimer::singleShot(config.deadline, reply.get(), [raw = reply.get(), tookTooLong] {
        if (raw->isRunning()) {
            *tookTooLong = true;
            raw->abort();
        }
    });

    auto tooLarge = std::make_shared<bool>(false);
    QObject::connect(reply.get(), &QNetworkReply::downloadProgress, reply.get(),
                     [raw = reply.get(), tooLarge, limit = config.maxResponseBytes](qint64 received, qint64 total) {
                         if (!*tooLarge && (received > limit || total > limit)) {
                             *tooLarge = true;
                             raw->abort();
                         }
                     });
    co_await ReplyFinished{reply.get()};

    if (*tookTooLong)
        co_return ApiError::transport(LanguageManager::shared().localized(QStringLiteral("request_too_long")));
    if (*tooLarge)
        co_return ApiError::transport(
            QStringLiteral("The service's answer is larger than %1 MiB").arg(config.maxResponseBytes / (1024 * 1024)));
    // Codes below 200 are failures of the connection itself (refused, reset, timed out, TLS, proxy),
    // also when they strike after the status line; higher codes only echo an HTTP status. A 407 is an
    // answer too, though Qt files it under the proxy's failures.
    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::OperationCanceledError)
        co_return ApiError::transport(QStringLiteral("The request timed out"));
    const bool answered407 = error == QNetworkReply::ProxyAuthenticationRequiredError && statusAttribute.toInt() == 407;
    if ((error != QNetworkReply::NoError && error < 200 && !answered407) ||
        (!statusAttribute.isValid() && error != QNetworkReply::NoError))
        co_return ApiError::transport(reply->errorString());
    RawResponse response;
    response.status = statusAttribute.isValid() ? statusAttribute.toInt() : -1;
    response.body = reply->readAll();
    co_return response;
}

template <typename T>
ApiResult<T> decode(const RawResponse &response)
{
    if (std::optional<ApiError> rejected = ApiService::checkStatus(response.status, response.body))
        return *rejected;
    if constexpr (std::is_same_v<T, EmptyResponse>) {
        return EmptyResponse::fromBody(response.body);
    } else {
        QString problem;
        const std::optional<QJsonObject> object = JsonText::parseObject(response.body, &problem);
        if (!object)
            return ApiError::decoding(problem);
        return T::fromJson(*object);
    }
}

QUrl resolve(const QUrl &base, const QString &path)
{
    return base.resolved(QUrl(path, QUrl::StrictMode));
}

template <typename T>
QCoro::Task<ApiResult<T>> get(ApiService::Config config, QString path, QString token)
{
    QNetworkRequest request(resolve(config.baseUrl, path));
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    auto exchange = send(config, std::move(request), QByteArrayLiteral("GET"), QByteArray());
    const ApiResult<RawResponse> response = co_await std::move(exchange);
    if (!response)
        co_return response.template failure<T>();
    co_return decode<T>(response.value());
}

template <typename T>
QCoro::Task<ApiResult<T>> post(ApiService::Config config, QString path, QJsonObject body, std::optional<QString> token)
{
    QNetworkRequest request(resolve(config.baseUrl, path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (token)
        request.setRawHeader("Authorization", "Bearer " + token->toUtf8());
    const QByteArray bytes = QJsonDocument(body).toJson(QJsonDocument::Compact);
    auto exchange = send(config, std::move(request), QByteArrayLiteral("POST"), bytes);
    const ApiResult<RawResponse> response = co_await std::move(exchange);
    if (!response)
        co_return response.template failure<T>();
    co_return decode<T>(response.value());
}

} // namespace

ApiService::ApiService(Config config)
    : m_config(std::move(config))
{}

std::optional<ApiError> ApiService::checkStatus(int httpStatus, const QByteArray &body)
{
    if (httpStatus < 0 || (httpStatus >= 200 && httpStatus <= 299))
        return std::nullopt;

    // The server's message counts only from an object whose every value is text, and only when it
    // says something: a blank message would leave the user a failure without words.
    std::optional<QString> message;
    if (const std::optional<QJsonObject> object = JsonText::parseObject(body, nullptr)) {
        const bool allText =
            std::all_of(object->begin(), object->end(), [](const auto &value) { return value.isString(); });
        if (allText) {
            for (const QString &key : {QStringLiteral("message"), QStringLiteral("error")}) {
                const QString text = object->value(key).toString();
                if (!text.trimmed().isEmpty()) {
                    message = text;
                    break;
                }
            }
        }
    }
    return ApiError::status(httpStatus, message.value_or(QStringLiteral("Request failed")));
}

QString ApiService::deviceFingerprint()
{
    const QString name = QSysInfo::machineHostName();
    return name.isEmpty() ? QStringLiteral("mac_unknown") : name;
}

QCoro::Task<ApiResult<AuthResponse>> ApiService::login(QString email, QString password) const
{
    const LoginRequest request{std::move(email), std::move(password), deviceFingerprint(), platformName};
    return post<AuthResponse>(m_config, QStringLiteral("api/auth/login"), request.toJson(), std::nullopt);
}

QCoro::Task<ApiResult<AuthResponse>> ApiService::registerAccount(QString email, QString password,
                                                                 std::optional<QString> nickname) const
{
    const RegisterRequest request{std::move(email), std::move(password), std::move(nickname), deviceFingerprint(),
                                  platformName};
    return post<AuthResponse>(m_config, QStringLiteral("api/auth/register"), request.toJson(), std::nullopt);
}

QCoro::Task<ApiResult<AuthResponse>> ApiService::refreshTokens(QString refreshToken) const
{
    const RefreshTokenBody body{std::move(refreshToken)};
    return post<AuthResponse>(m_config, QStringLiteral("api/auth/refresh"), body.toJson(), std::nullopt);
}

QCoro::Task<> ApiService::logout(QString accessToken, QString refreshToken) const
{
    const RefreshTokenBody body{std::move(refreshToken)};
    auto request = post<EmptyResponse>(m_config, QStringLiteral("api/auth/logout"), body.toJson(), accessToken);
    const ApiResult<EmptyResponse> result = co_await std::move(request);
    if (!result)
        qCDebug(lcApi) << "sign-out request failed with code" << result.error().code;
}

QCoro::Task<ApiResult<UserMeResponse>> ApiService::getUserMe(QString accessToken) const
{
    return get<UserMeResponse>(m_config, QStringLiteral("api/user/me"), std::move(accessToken));
}

QCoro::Task<ApiResult<NodesResponse>> ApiService::getNodes(QString accessToken, std::optional<QString> version) const
{
    QString path = QStringLiteral("api/nodes");
    if (version && !version->isEmpty())
        path += QStringLiteral("?version=") + QString::fromLatin1(QUrl::toPercentEncoding(*version));
    return get<NodesResponse>(m_config, std::move(path), std::move(accessToken));
}
