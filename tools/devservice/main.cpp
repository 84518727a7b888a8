#include "DevService.h"
#include "platform/UnixSignalWatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nimbrel-devservice"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A local stand-in for the Nimbrel service API on 127.0.0.1, for the demo and tests."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Listen on this port (default: any free one)."),
                                  QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption ttl(QStringLiteral("token-ttl"),
                                 QStringLiteral("Access-token lifetime in seconds (default 900)."),
                                 QStringLiteral("seconds"), QStringLiteral("900"));
    const QCommandLineOption trial(QStringLiteral("trial-days"),
                                   QStringLiteral("Active trial for new accounts, in days; 0 for none (default 7)."),
                                   QStringLiteral("days"), QStringLiteral("7"));
    parser.addOptions({port, ttl, trial});
    parser.process(app);

    bool portOk = false;
    bool ttlOk = false;
    bool trialOk = false;
    const uint portNumber = parser.value(port).toUInt(&portOk);
    const double ttlSeconds = parser.value(ttl).toDouble(&ttlOk);
    const int trialDays = parser.value(trial).toInt(&trialOk);
    if (!portOk || portNumber > 65535 || !ttlOk || ttlSeconds <= 0 || !trialOk || trialDays < 0) {
        std::fprintf(stderr, "nimbrel-devservice: --port, --token-ttl or --trial-days is out of range\n");
        return 2;
    }

    DevService::Options options;
    options.accessTokenTtl = std::chrono::milliseconds(static_cast<qint64>(ttlSeconds * 1000));
    options.trialDays = trialDays;
    DevService service(options);
    if (!service.listen(static_cast<quint16>(portNumber))) {
        std::fprintf(stderr, "nimbrel-devservice: cannot listen on 127.0.0.1:%u\n", portNumber);
        return 1;
    }

    UnixSignalWatcher signalWatcher({SIGINT, SIGTERM});
    QObject::connect(&signalWatcher, &UnixSignalWatcher::received, &app, [] { QCoreApplication::quit(); });

    const DevService::Account active = service.activeDemoAccount();
    const DevService::Account free = service.freeDemoAccount();
    std::printf("demo account (active): %s password: %s\n", qPrintable(active.email), qPrintable(active.password));
    std::printf("demo account (no subscription): %s password: %s\n", qPrintable(free.email), qPrintable(free.password));
    std::printf("%s\n", qPrintable(service.baseUrl().toString()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
