#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QHttpServerResponder>
#include <QList>
#include <QUrl>

#include <vector>

// An HTTP server on 127.0.0.1 that answers every request with the answer a test scripted, and keeps
// what it received. For the answers a real service rarely gives: HTML error pages, odd statuses,
// malformed or oversized bodies.
class ScriptedServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    struct Answer {
        int status = 200;
        QByteArray body = "{}";
        QByteArray contentType = "application/json";
        QList<std::pair<QByteArray, QByteArray>> headers; // besides Content-Type and Content-Length
    };
    struct Received {
        QByteArray method;
        QString path;
        QString query; // as sent, still percent-encoded; empty when none
        bool hasQuery = false;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    explicit ScriptedServer(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost),
                            QObject *parent = nullptr);

    // Base URL with the given path prefix, ending in "/".
    QUrl baseUrl(const QString &prefix = QStringLiteral("/")) const;
    void answerWith(Answer answer) { m_answer = std::move(answer); }
    void answerWith(int status, QByteArray body, QByteArray contentType = "application/json")
    {
        m_answer = {status, std::move(body), std::move(contentType), {}};
    }

    // Requests to path wait for their answer until releaseHeld, which gives the answer scripted by then.
    void holdAnswersTo(const QString &path) { m_heldPath = path; }
    void releaseHeld();

    const QList<Received> &received() const { return m_received; }
    const Received &last() const { return m_received.last(); }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    QHostAddress m_address;
    quint16 m_port = 0; // 0 when it could not listen
    void answer(QHttpServerResponder &responder) const;

    Answer m_answer;
    QString m_heldPath;
    std::vector<QHttpServerResponder> m_held;
    QList<Received> m_received;
};
