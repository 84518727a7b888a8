#include "CliRequest.h"

#include "BuildConfig.h"

#include <QCommandLineParser>

namespace {

struct CommandShape {
    const char *name;
    int minOperands;
    int maxOperands; // -1: any number
    const char *form;
    const char *summary;
};

constexpr CommandShape kCommands[] = {
    {"status", 0, 0, "status [--follow]", "account, subscription, node, routing mode and tunnel"},
    {"login", 1, 1, "login EMAIL", "sign in (password from standard input)"},
    {"register", 1, 1, "register EMAIL [--nickname N]", "create an account (password from standard input)"},
    {"logout", 0, 0, "logout", "sign out"},
    {"nodes", 0, 0, "nodes [--refresh]", "list the nodes (--refresh probes them first)"},
    {"ping", 0, -1, "ping [ID...|--all]", "probe nodes (the selected one when none is named)"},
    {"select", 1, 1, "select ID", "choose the node to connect to"},
    {"mode", 0, 1, "mode [safe|smart]", "show or set the routing mode"},
    {"language", 0, 1, "language [en|zh-CN|zh-TW|ru]", "show or set the language"},
    {"connect", 0, 1, "connect [ID]", "start the tunnel; runs until it ends or Ctrl-C"},
    {"disconnect", 0, 0, "disconnect", "stop the tunnel the app runs"},
};

const CommandShape *findCommand(const QString &name)
{
    for (const CommandShape &shape : kCommands) {
        if (name == QLatin1String(shape.name))
            return &shape;
    }
    return nullptr;
}

} // namespace

QString CliRequest::usage()
{
    QString text = QStringLiteral("Usage: nimbrel-cli [options] COMMAND [arguments]\n\nCommands:\n");
    for (const CommandShape &shape : kCommands)
        text += QStringLiteral("  %1 %2\n").arg(QLatin1String(shape.form), -30).arg(QLatin1String(shape.summary));
    text += QStringLiteral(
        "\nOptions:\n"
        "  --json            machine-readable output (one JSON document; JSON lines for ping and connect)\n"
        "  --settings FILE   use this preference file (also NIMBREL_SETTINGS); the app's by default\n"
        "  --api-base URL    the service's API base URL (also NIMBREL_API_BASE)\n"
        "  --web-site URL    the service's web site (also NIMBREL_WEBSITE)\n"
        "  --demo            privileged commands are recorded, not run as root\n"
        "\nExit status: 0 success, 1 a failure the service or the tunnel reported, 2 bad usage.\n");
    return text;
}

CliParseResult CliRequest::parse(const QStringList &arguments, const QProcessEnvironment &environment)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    AppOptions::addSharedOptions(parser);
    parser.addOption({QStringLiteral("json"), QString()});
    parser.addOption({QStringLiteral("refresh"), QString()});
    parser.addOption({QStringLiteral("all"), QString()});
    parser.addOption({QStringLiteral("follow"), QString()});
    parser.addOption({QStringLiteral("nickname"), QString(), QStringLiteral("name")});
    parser.addOption({{QStringLiteral("h"), QStringLiteral("help")}, QString()});
    parser.addOption({QStringLiteral("version"), QString()});

    CliParseResult parsed;
    if (!parser.parse(arguments)) {
        parsed.error = parser.errorText();
        return parsed;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        parsed.output = usage();
        return parsed;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        parsed.output = QStringLiteral("nimbrel-cli %1\n").arg(QLatin1String(BuildConfig::version));
        return parsed;
    }
    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        parsed.error = QStringLiteral("no command given (try --help)");
        return parsed;
    }
    CliRequest request;
    request.command = positional.takeFirst();
    request.operands = positional;
    const CommandShape *shape = findCommand(request.command);
    if (!shape) {
        parsed.error = QStringLiteral("unknown command \"%1\" (try --help)").arg(request.command);
        return parsed;
    }
    const auto count = int(request.operands.size());
    if (count < shape->minOperands || (shape->maxOperands >= 0 && count > shape->maxOperands)) {
        parsed.error = QStringLiteral("usage: nimbrel-cli %1").arg(QLatin1String(shape->form));
        return parsed;
    }
    request.json = parser.isSet(QStringLiteral("json"));
    request.refresh = parser.isSet(QStringLiteral("refresh"));
    request.all = parser.isSet(QStringLiteral("all"));
    request.follow = parser.isSet(QStringLiteral("follow"));
    if (parser.isSet(QStringLiteral("nickname")))
        request.nickname = parser.value(QStringLiteral("nickname"));
    const auto onlyFor = [&](bool set, const char *flag, const char *command) {
        if (set && request.command != QLatin1String(command) && parsed.error.isEmpty())
            parsed.error = QStringLiteral("--%1 belongs to \"%2\"").arg(QLatin1String(flag), QLatin1String(command));
    };
    onlyFor(request.refresh, "refresh", "nodes");
    onlyFor(request.all, "all", "ping");
    onlyFor(request.follow, "follow", "status");
    onlyFor(request.nickname.has_value(), "nickname", "register");
    if (request.all && !request.operands.isEmpty())
        parsed.error = QStringLiteral("ping takes node ids or --all, not both");
    if (!parsed.error.isEmpty())
        return parsed;
    request.shared.takeSharedOptions(parser, environment);
    parsed.request = std::move(request);
    return parsed;
}
