#include "app/AppEnvironment.h"
#include "app/AppViewModel.h"
#include "cli/CliCommands.h"
#include "cli/CliOutput.h"
#include "cli/CliRequest.h"
#include "cli/CliSession.h"
#include "i18n/LanguageManager.h"
#include "platform/InstanceChannel.h"
#include "platform/PreferenceStore.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // A reader of our output that went away (a closed pipe) must not end us before a tunnel we drive
    // has been stopped: the write fails instead.
    std::signal(SIGPIPE, SIG_IGN);
    // The app's name and organisation: the same standard preference file, so the same session.
    QCoreApplication::setApplicationName(QStringLiteral("Nimbrel"));
    QCoreApplication::setOrganizationName(QStringLiteral("Nimbrel"));

    const CliParseResult parsed =
        CliRequest::parse(QCoreApplication::arguments(), QProcessEnvironment::systemEnvironment());
    if (!parsed.request) {
        if (!parsed.error.isEmpty()) {
            CliOutput(false).error(parsed.error);
            return ExitUsage;
        }
        std::fputs(parsed.output.toUtf8().constData(), stdout);
        return ExitSuccess;
    }
    const CliRequest &request = *parsed.request;
    const CliOutput out(request.json);

    QString problem;
    std::optional<AppEnvironment> environment =
        AppEnvironment::fromOptions(request.shared, AppEnvironment::openPreferences(request.shared), &problem);
    if (!environment) {
        out.error(problem);
        return ExitUsage;
    }
    LanguageManager::useSharedPreferences(environment->preferences);
    const QString instanceSocket = InstanceChannel::socketPath(environment->preferences->location());
    AppViewModel viewModel(std::move(*environment));
    CliSession session(viewModel);
    CliCommands commands(viewModel, session, out, request, instanceSocket);
    return commands.run();
}
