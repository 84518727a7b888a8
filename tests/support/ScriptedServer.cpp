#include "ScriptedServer.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>

ScriptedServer::ScriptedServer(const QHostAddress &address, QObject *parent)
    : QAbstractHttpServer(parent)
    , m_address(address)
{
    m_port = listen(address, 0);
}

QUrl ScriptedServer::baseUrl(const QString &prefix) const
{
    return QUrl(QStringLiteral("http://%1:%2%3").arg(m_address.toString()).arg(m_port).arg(prefix));
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
    if (!m_heldPath.isEmpty() && received.path == m_heldPath)
        m_held.push_back(std::move(responder));
    else
        answer(responder);
    return true;
}

void ScriptedServer::releaseHeld()
{
    for (QHttpServerResponder &responder : m_held)
        answer(responder);
    m_held.clear();
}

void ScriptedServer::answer(QHttpServerResponder &responder) const
{
    responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(m_answer.status));
    responder.writeHeader("Content-Type", m_answer.contentType);
    responder.writeHeader("Content-Length", QByteArray::number(m_answer.body.size()));
    for (const auto &[name, value] : m_answer.headers)
        responder.writeHeader(name, value);
    responder.writeBody(m_answer.body);
}

void ScriptedServer::missingHandler(const QHttpServerRequest &, QTcpSocket *)
{}
