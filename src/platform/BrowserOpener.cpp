#include "BrowserOpener.h"

#include "FileTrust.h"
#include "SystemInfo.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

namespace {

// Long enough for a browser that has to start first to read it.
constexpr std::chrono::minutes kPageLife{2};

QByteArray forwardingPage(const QUrl &url)
{
    const QString address = QString::fromUtf8(url.toEncoded());
    // As a JavaScript string inside the page: JSON, with "</" broken so it cannot end the script.
    QString script = QString::fromUtf8(QJsonDocument::fromVariant(QVariantList{address}).toJson(QJsonDocument::Compact));
    script = script.mid(1, script.size() - 2).replace(QStringLiteral("</"), QStringLiteral("<\\/"));
    const QString html = address.toHtmlEscaped();
    return QStringLiteral("<!doctype html><meta charset=\"utf-8\"><meta name=\"referrer\" content=\"no-referrer\">"
                          "<meta http-equiv=\"refresh\" content=\"0;url=%1\"><script>location.replace(%2)</script>"
                          "<a href=\"%1\">%1</a>\n")
        .arg(html, script)
        .toUtf8();
}

} // namespace

BrowserOpener::BrowserOpener(QString opener, QString folder, QObject *parent)
    : QObject(parent)
    , m_opener(std::move(opener))
    , m_folder(std::move(folder))
{
    m_removal.setSingleShot(true);
    connect(&m_removal, &QTimer::timeout, this, &BrowserOpener::removePage);
}

BrowserOpener::BrowserOpener(QObject *parent)
    : BrowserOpener(systemOpener(), SystemInfo::privateRuntimeFolder(), parent)
{}

BrowserOpener::~BrowserOpener()
{
    removePage();
    if (m_process) // the opener goes on by itself; we only stop listening
        m_process->disconnect(this);
}

QString BrowserOpener::systemOpener()
{
#ifdef Q_OS_MACOS
    return QStringLiteral("/usr/bin/open");
#else
    return QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
#endif
}

void BrowserOpener::open(const QUrl &url)
{
    removePage();
    if (!url.isValid() || m_opener.isEmpty() || !writePage(url)) {
        emit finished(false);
        return;
    }
    m_removal.start(kPageLife);
    if (m_process) {
        m_process->disconnect(this);
        m_process.release()->setParent(this); // an opener still running is left to finish
    }
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel); // its words name the page, not the address
    m_process->setStandardOutputFile(QProcess::nullDevice());
    QProcess *process = m_process.get();
    // No browser will read the page of an open that failed.
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        removePage();
        emit finished(false);
    });
    connect(process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
        const bool opened = status == QProcess::NormalExit && exitCode == 0;
        if (!opened)
            removePage();
        emit finished(opened);
    });
    process->start(m_opener, {m_page});
}

bool BrowserOpener::writePage(const QUrl &url)
{
    const QByteArray folder = QFile::encodeName(m_folder);
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    if (!FileTrust::isPrivateFolder(m_folder, ::geteuid()))
        return false;
    const QString page = QStringLiteral("%1/renew-%2.html").arg(m_folder).arg(QRandomGenerator::system()->generate64(), 0, 16);
    const int fd = ::open(QFile::encodeName(page).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const QByteArray content = forwardingPage(url);
    const bool whole = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    if (!whole) {
        QFile::remove(page);
        return false;
    }
    m_page = page;
    return true;
}

void BrowserOpener::removePage()
{
    m_removal.stop();
    if (!m_page.isEmpty())
        QFile::remove(std::exchange(m_page, QString()));
}
