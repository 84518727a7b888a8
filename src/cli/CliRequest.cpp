#include "CliRequest.h"

#include "BuildConfig.h"
#include "CliCommandTable.h"

#include <QCommandLineParser>

QString CliRequest::usage()
{
    return CliCommandTable::usage();
}

namespace {

QString unknownCommand(const QString &name)
{
    if (const CliCommandTable::Command *meant = CliCommandTable::nearest(name))
        return QStringLiteral("unknown command \"%1\" (did you mean \"%2\"?)").arg(name, meant->name);
    return QStringLiteral("unknown command \"%1\" (try --help)").arg(name);
}

// nimbrel-cli --help, help, help COMMAND, COMMAND --help.
CliParseResult help(const QStringList &positional, bool helpOption)
{
    CliParseResult parsed;
    const QString name = positional.value(0);
    QString topic = name;
    if (name == QLatin1String("help") && (positional.size() > 1 || !helpOption))
        topic = positional.value(1);
    const CliCommandTable::Command *about = CliCommandTable::find(topic);
    if (!topic.isEmpty() && !about)
        parsed.error = unknownCommand(topic);
    else
        parsed.output = about ? CliCommandTable::commandHelp(*about) : CliCommandTable::usage();
    return parsed;
}

// A flag given to a command that does not take it: which command it belongs to.
std::optional<QString> foreignFlag(const QCommandLineParser &parser, const QStringList &switches,
                                   const CliCommandTable::Command *command)
{
    for (const QString &flag : switches) {
        const bool own = command && std::any_of(command->flags.cbegin(), command->flags.cend(),
                                                [&flag](const CliCommandTable::Flag &f) { return f.name == flag; });
        if (!parser.isSet(flag) || own)
            continue;
        for (const CliCommandTable::Command &owner : CliCommandTable::commands()) {
            for (const CliCommandTable::Flag &f : owner.flags) {
                if (f.name == flag)
                    return QStringLiteral("--%1 belongs to \"%2\"").arg(flag, owner.name);
            }
        }
        return QString();
    }
    return std::nullopt;
}

} // namespace

namespace {

// Every command's flags and the common options; returns the commands' flag names.
QStringList declareOptions(QCommandLineParser &parser)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    AppOptions::addSharedOptions(parser);
    QStringList switches;
    for (const CliCommandTable::Command &command : CliCommandTable::commands()) {
        for (const CliCommandTable::Flag &flag : command.flags) {
            parser.addOption({flag.name, QString(), flag.value});
            switches.append(flag.name);
        }
    }
    parser.addOption({QStringLiteral("json"), QString()});
    parser.addOption({{QStringLiteral("h"), QStringLiteral("help")}, QString()});
    parser.addOption({{QStringLiteral("V"), QStringLiteral("version")}, QString()});
    return switches;
}

// The flags into the request; an error for flags that exclude the operands.
std::optional<QString> takeFlags(const QCommandLineParser &parser, CliRequest &request)
{
    request.json = parser.isSet(QStringLiteral("json"));
    request.refresh = parser.isSet(QStringLiteral("refresh"));
    request.all = parser.isSet(QStringLiteral("all"));
    request.follow = parser.isSet(QStringLiteral("follow"));
    request.pick = parser.isSet(QStringLiteral("pick"));
    request.fastest = parser.isSet(QStringLiteral("fastest"));
    if (parser.isSet(QStringLiteral("nickname")))
        request.nickname = parser.value(QStringLiteral("nickname"));
    if (request.all && !request.operands.isEmpty())
        return QStringLiteral("ping takes node ids or --all, not both");
    if (request.fastest && !request.operands.isEmpty())
        return QStringLiteral("connect takes a node or --fastest, not both");
    return std::nullopt;
}

} // namespace

CliParseResult CliRequest::parse(const QStringList &arguments, const QProcessEnvironment &environment)
{
    QCommandLineParser parser;
    const QStringList switches = declareOptions(parser);
    CliParseResult parsed;
    if (!parser.parse(arguments)) {
        parsed.error = parser.errorText();
        return parsed;
    }
    QStringList positional = parser.positionalArguments();
    const QString name = positional.value(0);
    const CliCommandTable::Command *command = CliCommandTable::find(name);
    if (parser.isSet(QStringLiteral("help")) || name == QLatin1String("help"))
        return help(positional, parser.isSet(QStringLiteral("help")));
    if (parser.isSet(QStringLiteral("version"))) {
        parsed.output = QStringLiteral("nimbrel-cli %1\n").arg(QLatin1String(BuildConfig::version));
        return parsed;
    }
    if (positional.isEmpty()) {
        parsed.error = QStringLiteral("no command given (try --help)");
        return parsed;
    }
    CliRequest request;
    request.command = positional.takeFirst();
    request.operands = positional;
    // Not in the table: what the shell completions ask for node ids (no request to the service).
    const bool completing = request.command == QLatin1String("__node-ids") && request.operands.isEmpty();
    if (!command && !completing) {
        parsed.error = unknownCommand(request.command);
        return parsed;
    }
    const auto count = int(request.operands.size());
    if (command && (count < command->minOperands || (command->maxOperands >= 0 && count > command->maxOperands))) {
        parsed.error = QStringLiteral("usage: nimbrel-cli %1").arg(command->synopsis);
        return parsed;
    }
    if (const std::optional<QString> misplaced = foreignFlag(parser, switches, command)) {
        parsed.error = *misplaced;
        return parsed;
    }
    if (std::optional<QString> conflict = takeFlags(parser, request)) {
        parsed.error = std::move(*conflict);
        return parsed;
    }
    request.shared.takeSharedOptions(parser, environment);
    parsed.request = std::move(request);
    return parsed;
}
