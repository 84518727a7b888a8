#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

class QLocalServer;
class QLocalSocket;

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

    // The socket for this user and preference file: beside the file, named after its path (so every
    // profile has its own), or in sharedRoot/nimbrel-UID/ when that path would be too long for a
    // socket. Nothing else counts (no environment), so the app and the command-line client agree.
    static QString socketPath(const QString &preferenceLocation, uid_t user = ::geteuid(),
                              const QString &sharedRoot = QStringLiteral("/tmp"));

    explicit InstanceChannel(QString socketPath, QObject *parent = nullptr);
    ~InstanceChannel() override;

    // Becomes the running instance unless another of ours answers on the socket. A socket left behind
    // by a crashed instance is replaced. The socket's folder is made if missing, and must be ours
    // alone; a folder others can change, or another user listening there, leaves no channel.
    Role claim();
    // Answers each request of a later launch (called on this object's thread). Requests that came
    // before there was a handler are answered now; until then only "ping" is.
    void setHandler(Handler handler);
    QString errorString() const { return m_error; }
    const QString &path() const { return m_path; }
    // How long a peer may take to send its request line before it is dropped.
    void setSilenceLimit(std::chrono::milliseconds limit) { m_silenceLimit = limit; }

    // Sends one request to the running instance and waits for its answer (blocking, at most timeoutMs).
    // None when no instance answers, or when whoever listens there is not this user.
    static std::optional<QByteArray> send(const QString &socketPath, const QByteArray &request, int timeoutMs = 2000);

    static constexpr int kMaxLineBytes = 256;

private:
    void serveNext();
    bool prepareFolder();
    void answer(QLocalSocket *socket, const QByteArray &request);

    QString m_path;
    QLocalServer *m_server = nullptr;
    Handler m_handler;
    std::vector<std::pair<QPointer<QLocalSocket>, QByteArray>> m_waiting;
    QString m_error;
    std::chrono::milliseconds m_silenceLimit{2000};
};
