#include "SupportReport.h"

#include "AppViewModel.h"
#include "BuildConfig.h"
#include "tunnel/TunnelController.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>

#include <sys/stat.h>

namespace SupportReport {

namespace {

const QString kRedacted = QStringLiteral("[redacted]");

QString fileFacts(const QString &path)
{
    struct stat info {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QStringLiteral("not found");
    return QStringLiteral("%1 (owner uid %2, mode %3)")
        .arg(path)
        .arg(info.st_uid)
        .arg(QString::number(info.st_mode & 07777, 8).rightJustified(4, QLatin1Char('0')));
}

// The file's last lines, reading no more than its last 256 KiB.
QStringList lastLines(const QString &path, int count)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    constexpr qint64 kTail = 256 * 1024;
    if (file.size() > kTail)
        file.seek(file.size() - kTail);
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines.mid(std::max<qsizetype>(0, lines.size() - count));
}

// A run of letters and digits of every kind, long enough to be a key rather than a word.
bool looksRandom(const QString &run)
{
    bool lower = false, upper = false, digit = false;
    for (const QChar c : run) {
        lower = lower || c.isLower();
        upper = upper || c.isUpper();
        digit = digit || c.isDigit();
    }
    return lower && upper && digit;
}

} // namespace

QString redact(QString text, const QStringList &secrets)
{
    for (const QString &secret : secrets) {
        if (secret.trimmed().size() >= 4)
            text.replace(secret, kRedacted);
    }
    static const QRegularExpression bearer(QStringLiteral("(Bearer\\s+)[^\\s\"',;]+"));
    static const QRegularExpression named(
        QStringLiteral("\\b(psk|key|token|secret|password|passwd|pass|authorization)(\\s*[=:]\\s*)[^\\s\"',;]+"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression email(QStringLiteral("[\\w.+-]+@[\\w-]+(\\.[\\w-]+)+"));
    static const QRegularExpression hex(QStringLiteral("\\b[0-9A-Fa-f]{32,}\\b"));
    static const QRegularExpression run(QStringLiteral("[A-Za-z0-9+/_-]{24,}=*"));
    text.replace(bearer, QStringLiteral("\\1") + kRedacted);
    text.replace(named, QStringLiteral("\\1\\2") + kRedacted);
    text.replace(email, kRedacted);
    text.replace(hex, kRedacted);
    QString result;
    qsizetype from = 0;
    for (QRegularExpressionMatchIterator it = run.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        if (!looksRandom(match.captured()))
            continue;
        result += text.mid(from, match.capturedStart() - from) + kRedacted;
        from = match.capturedEnd();
    }
    return result + text.mid(from);
}

Session session(const AppViewModel &vm, const QString &tunnel)
{
    Session taken;
    taken.signedIn = vm.accessToken().has_value();
    taken.subscription = vm.subscriptionStatus().value_or(QStringLiteral("none"));
    taken.node = vm.selectedNode()
                     ? QStringLiteral("%1 (id %2)").arg(vm.selectedNode()->name, QString::number(vm.selectedNode()->id))
                     : QStringLiteral("none");
    taken.routingMode = vm.routingModeName();
    taken.tunnel = tunnel;
    taken.secrets = {vm.accessToken().value_or(QString()),
                     vm.refreshToken().value_or(QString()),
                     vm.psk(),
                     vm.userEmail().value_or(QString()),
                     vm.userNickname().value_or(QString()),
                     qEnvironmentVariable("NIMBREL_DEMO_PASSWORD")};
    return taken;
}

QString compose(const Session &session, const TunnelController::Diagnostician &diagnostician)
{
    const TunnelController::Diagnosis diagnosis = diagnostician.diagnose();
    QStringList lines;
    lines << QStringLiteral("Nimbrel support report, %1").arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    lines << QStringLiteral("Program: %1 %2 (Qt %3, built with %4)")
                 .arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName(),
                      QLatin1String(BuildConfig::version), QLatin1String(qVersion()), QLatin1String(QT_VERSION_STR));
    lines << QStringLiteral("System: %1; %2 %3; %4")
                 .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(), QSysInfo::kernelVersion(),
                      QSysInfo::currentCpuArchitecture());
    lines << QStringLiteral("Signed in: %1; subscription: %2")
                 .arg(session.signedIn ? QStringLiteral("yes") : QStringLiteral("no"), session.subscription);
    lines << QStringLiteral("Node: %1; routing mode: %2").arg(session.node, session.routingMode);
    lines << QStringLiteral("Helper: %1").arg(fileFacts(diagnosis.helper));
    lines << QStringLiteral("Helper looked for in: %1").arg(diagnosis.places.join(QStringLiteral(", ")));
    lines << QStringLiteral("Control program: %1 (%2)")
                 .arg(diagnosis.controlProgram,
                      diagnosis.controlProgramPresent ? QStringLiteral("present") : QStringLiteral("missing"));
    const auto orNothing = [](const QString &value) { return value.isEmpty() ? QStringLiteral("nothing") : value; };
    lines << QStringLiteral("Privileges: %1 (root's copy %2 of %3, SHA-256 %4; installed for %5)")
                 .arg(diagnosis.privilegesInstalled ? QStringLiteral("installed") : QStringLiteral("not installed"),
                      orNothing(diagnosis.installation ? diagnosis.installation->helper : QString()),
                      orNothing(diagnosis.installation ? diagnosis.installation->source : QString()),
                      orNothing(diagnosis.installation ? diagnosis.installation->sha256 : QString()),
                      orNothing(diagnosis.setupHelper));
    lines << QStringLiteral("Tunnel: %1").arg(session.tunnel);
    const QStringList log = lastLines(diagnosis.logPath, kLogLines);
    lines << QStringLiteral("Helper log (%1, its last %2 lines):").arg(diagnosis.logPath).arg(log.size());
    for (const QString &line : log)
        lines << QStringLiteral("  ") + line;
    return redact(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'), session.secrets);
}

} // namespace SupportReport
