#include "ScriptedServer.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>

ScriptedServer::ScriptedServer(QObject *parent)
    : QAbstractHttpServer(parent)
{
    m_port = listen(QHostAddress::LocalHost, 0);
}

QUrl ScriptedServer::baseUrl(const QString &prefix) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(prefix));
}

bool ScriptedServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    Received received;
    switch (request.method()) {
    case QHttpServerRequest::Method::Get:
        received.method = "GET";
        break;
    case QHttpServerRequest::Method::Post:
        received.method = "POST";
        break;
    default:
        received.method = "OTHER";
        break;
    }
    const QUrl url = request.url();
    received.path = url.path();
    received.hasQuery = url.hasQuery();
    received.query = url.query(QUrl::FullyEncoded);
    for (const auto &[name, value] : request.headers())
        received.headers.insert(name.toLower(), value);
    received.body = request.body();
    m_received.append(received);

    QHttpServerResponder responder = makeResponder(request, socket);
    responder.write(m_answer.body, m_answer.contentType,
                    static_cast<QHttpServerResponder::StatusCode>(m_answer.status));
    return true;
}

void ScriptedServer::missingHandler(const QHttpServerRequest &, QTcpSocket *)
{}
