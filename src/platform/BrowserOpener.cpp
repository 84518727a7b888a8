#include "BrowserOpener.h"

#include "FileTrust.h"
#include "SystemInfo.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTimer>

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
{}

BrowserOpener::BrowserOpener(QObject *parent)
    : BrowserOpener(systemOpener(), SystemInfo::privateRuntimeFolder(), parent)
{}

BrowserOpener::~BrowserOpener()
{
    for (const QString &page : std::as_const(m_pages))
        QFile::remove(page);
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
    removeStalePages();
    const QString page = url.isValid() && !m_opener.isEmpty() ? writePage(url) : QString();
    if (page.isEmpty()) {
        emit finished(false);
        return;
    }
    QTimer::singleShot(kPageLife, this, [this, page] { removePage(page); });
    // Not a child: an opener that outlives us (xdg-open may wait for the browser) is never killed.
    auto *process = new QProcess;
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel); // its words name the page, not the address
    process->setStandardOutputFile(QProcess::nullDevice());
    // No browser will read the page of an open that failed.
    const auto done = [this, page](bool opened) {
        if (!opened)
            removePage(page);
        emit finished(opened);
    };
    connect(process, &QProcess::errorOccurred, this, [done](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            done(false);
    });
    connect(process, &QProcess::finished, this, [done](int exitCode, QProcess::ExitStatus status) {
        done(status == QProcess::NormalExit && exitCode == 0);
    });
    connect(process, &QProcess::finished, process, &QObject::deleteLater);
    connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            process->deleteLater();
    });
    process->start(m_opener, {page});
}

QString BrowserOpener::writePage(const QUrl &url)
{
    const QByteArray folder = QFile::encodeName(m_folder);
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
        return {};
    if (!FileTrust::isPrivateFolder(m_folder, ::geteuid()))
        return {};
    const QString page =
        QStringLiteral("%1/renew-%2.html").arg(m_folder).arg(QRandomGenerator::system()->generate64(), 0, 16);
    const int fd = ::open(QFile::encodeName(page).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return {};
    const QByteArray content = forwardingPage(url);
    const bool whole = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    if (!whole) {
        QFile::remove(page);
        return {};
    }
    m_pages.append(page);
    return page;
}

void BrowserOpener::removePage(const QString &page)
{
    if (m_pages.removeOne(page))
        QFile::remove(page);
}

void BrowserOpener::removeStalePages() const
{
    if (!FileTrust::isPrivateFolder(m_folder, ::geteuid()))
        return;
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-std::chrono::seconds(kPageLife).count());
    const QFileInfoList found =
        QDir(m_folder).entryInfoList({QStringLiteral("renew-*.html")}, QDir::Files | QDir::NoSymLinks);
    for (const QFileInfo &page : found) {
        if (page.lastModified().toUTC() < before && !m_pages.contains(page.filePath()))
            QFile::remove(page.filePath());
    }
}
