#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QLocalServer;

// One running app per user and preference file. The first launch listens on a private local socket;
// a later launch, or the command-line client, sends it a one-line request ("raise", "disconnect") and
// gets a one-line answer.
class InstanceChannel : public QObject {
    Q_OBJECT
public:
    enum class Role {
        Primary,     // we listen: this process is the running instance
        Secondary,   // another instance answered on the socket
        Unavailable, // neither (the socket could not be made); the app runs on without the channel
    };
    using Handler = std::function<QByteArray(const QByteArray &request)>;

    // The socket for this preference file: beside it, named after its path (so every profile has its
    // own), or in the temporary folder when that path would be too long for a socket.
    static QString socketPath(const QString &preferenceLocation);

    explicit InstanceChannel(QString socketPath, QObject *parent = nullptr);
    ~InstanceChannel() override;

    // Becomes the running instance unless another answers on the socket. A socket left behind by a
    // crashed instance is replaced.
    Role claim();
    // Answers each request of a later launch (called on this object's thread).
    void setHandler(Handler handler) { m_handler = std::move(handler); }
    QString errorString() const { return m_error; }

    // Sends one request to the running instance and waits for its answer (blocking, at most timeoutMs).
    // None when no instance answers.
    static std::optional<QByteArray> send(const QString &socketPath, const QByteArray &request, int timeoutMs = 2000);

    static constexpr int kMaxLineBytes = 256;

private:
    void serveNext();

    QString m_path;
    QLocalServer *m_server = nullptr;
    Handler m_handler;
    QString m_error;
};
