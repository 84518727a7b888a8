#include "CliCommandTable.h"

#include "app/AppSwitches.h"
#include "i18n/AppLanguage.h"

#include <algorithm>
#include <numeric>
#include <utility>

namespace CliCommandTable {

namespace {

using O = Operand;

Flag flag(const char *name, const char *help, const char *value = "", const char *shortName = "")
{
    return {QString::fromLatin1(name), QString::fromLatin1(shortName), QString::fromLatin1(value),
            QString::fromUtf8(help)};
}

QStringList lines(std::initializer_list<const char *> items)
{
    QStringList list;
    for (const char *item : items)
        list.append(QString::fromUtf8(item));
    return list;
}

Command command(const char *name, int minOperands, int maxOperands, Operand operand, const char *synopsis,
                const char *summary, const char *details, QList<Flag> flags, QStringList examples)
{
    return {QString::fromLatin1(name),
            minOperands,
            maxOperands,
            operand,
            QString::fromLatin1(synopsis),
            QString::fromUtf8(summary),
            QString::fromUtf8(details),
            std::move(flags),
            std::move(examples)};
}

QString flagRows(const QList<Flag> &flags)
{
    QString text;
    for (const Flag &flag : flags)
        text += QStringLiteral("  %1 %2\n").arg(flagForm(flag), -22).arg(flag.help);
    return text;
}

QStringList languageCodes()
{
    QStringList codes;
    for (AppLanguage language : AppLanguages::all())
        codes.append(AppLanguages::rawValue(language));
    return codes;
}

QStringList commandNames()
{
    QStringList names;
    for (const Command &command : commands())
        names.append(command.name);
    return names;
}

// The fixed words an operand may be (node ids are looked up when completing).
QStringList operandWords(Operand operand)
{
    switch (operand) {
    case O::Mode:
        return {QStringLiteral("safe"), QStringLiteral("smart")};
    case O::Language:
        return languageCodes();
    case O::Command:
        return commandNames();
    case O::Switch: {
        QStringList words{QStringLiteral("on"), QStringLiteral("off")};
        for (AppSwitches::Switch which : AppSwitches::all())
            words.append(AppSwitches::key(which));
        return words;
    }
    case O::None:
    case O::NodeId:
    case O::Email:
        break;
    }
    return {};
}

// Lines of at most width characters, broken between words.
QString wrapped(const QString &text, int width = 78)
{
    QString result;
    QString line;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
            result += line + QLatin1Char('\n');
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    return result + line + QLatin1Char('\n');
}

QString shellWords(const QStringList &words)
{
    return words.join(QLatin1Char(' '));
}

// Options taking a value, which the completion must step over.
QStringList valueFlagForms()
{
    QStringList forms;
    for (const Flag &flag : commonFlags()) {
        if (!flag.value.isEmpty())
            forms.append(QStringLiteral("--") + flag.name);
    }
    for (const Command &command : commands()) {
        for (const Flag &flag : command.flags) {
            if (!flag.value.isEmpty())
                forms.append(QStringLiteral("--") + flag.name);
        }
    }
    return forms;
}

QStringList flagWords(const QList<Flag> &flags)
{
    QStringList words;
    for (const Flag &flag : flags)
        words.append(QStringLiteral("--") + flag.name);
    return words;
}

// One case line a command (format: %1 its name, %2 its own options and operand words); nodeIds is the
// shell's way to list node ids.
QString commandCases(const QString &format, const QString &nodeIds)
{
    QString cases;
    for (const Command &command : commands()) {
        QStringList words = flagWords(command.flags) + operandWords(command.operand);
        if (command.operand == O::NodeId)
            words.append(nodeIds);
        cases += format.arg(command.name, shellWords(words));
    }
    return cases;
}

// The fewest edits that turn one word into the other: a letter added, dropped or changed, or two
// neighbouring letters swapped ("stauts" is one edit from "status").
int editDistance(QStringView from, QStringView to)
{
    QList<int> twoRowsBack;
    QList<int> previous(to.size() + 1);
    std::iota(previous.begin(), previous.end(), 0);
    for (qsizetype i = 1; i <= from.size(); ++i) {
        QList<int> row(to.size() + 1);
        row[0] = int(i);
        for (qsizetype j = 1; j <= to.size(); ++j) {
            const int changed = from[i - 1] == to[j - 1] ? 0 : 1;
            row[j] = std::min({previous[j] + 1, row[j - 1] + 1, previous[j - 1] + changed});
            if (i > 1 && j > 1 && from[i - 1] == to[j - 2] && from[i - 2] == to[j - 1])
                row[j] = std::min(row[j], twoRowsBack[j - 2] + 1);
        }
        twoRowsBack = std::exchange(previous, std::move(row));
    }
    return previous[to.size()];
}

} // namespace

QString sentence(QString text)
{
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text + QLatin1Char('.');
}

QString flagForm(const Flag &flag)
{
    QString form = flag.shortName.isEmpty() ? QString() : QStringLiteral("-%1, ").arg(flag.shortName);
    form += QStringLiteral("--") + flag.name;
    if (!flag.value.isEmpty())
        form += QLatin1Char(' ') + flag.value;
    return form;
}

const QList<Command> &commands()
{
    static const QList<Command> table{
        command("status", 0, 0, O::None, "status [--follow]", "account, subscription, node, routing mode and tunnel",
                "Shows who is signed in, the subscription and its expiry, the chosen node, the routing mode, the "
                "language and what the tunnel is doing (also when the app or another client drives it).",
                {flag("follow", "print again at every change of the tunnel, until Ctrl-C")},
                lines({"nimbrel-cli status", "nimbrel-cli status --follow --json"})),
        command("login", 1, 1, O::Email, "login EMAIL", "sign in (password from standard input)",
                "Signs in with the e-mail address and a password read from standard input (at a prompt without "
                "echo on a terminal). The session is the app's: both stay signed in.",
                {},
                lines({"nimbrel-cli login me@example.org", "echo \"$PASSWORD\" | nimbrel-cli login me@example.org"})),
        command("register", 1, 1, O::Email, "register EMAIL [--nickname N]",
                "create an account (password from standard input)",
                "Creates an account and signs in. The password (at least 8 characters) is read from standard "
                "input; on a terminal it is asked for twice.",
                {flag("nickname", "the name shown in the app, exactly as given", "N")},
                lines({"nimbrel-cli register me@example.org --nickname Me"})),
        command("logout", 0, 0, O::None, "logout", "sign out",
                "Signs out here and at the service; the app is signed out too.", {}, lines({"nimbrel-cli logout"})),
        command("nodes", 0, 1, O::None, "nodes [FILTER] [--refresh]",
                "list the nodes, or those FILTER finds (--refresh probes them first)",
                "Lists the service's nodes: id, status, load, the last probe's latency, flag and name; the "
                "chosen one is marked with *. With FILTER, only the nodes whose name or country name holds it "
                "(whatever the case, and the accents of Latin letters) or whose country code it is; none found "
                "is no failure. The whole list is kept for the shell's completion of node ids.",
                {flag("refresh", "probe every node first")},
                lines({"nimbrel-cli nodes", "nimbrel-cli nodes japan", "nimbrel-cli nodes --refresh --json"})),
        command("ping", 0, -1, O::NodeId, "ping [ID...|--all]", "probe nodes (the selected one when none is named)",
                "Measures the time a TCP connection to each node takes, all at once, and prints each result as "
                "it arrives; a probe that times out says so. With --all, the text is one table once every "
                "probe has ended, the fastest first and timeouts last (--json still prints each as it arrives).",
                {flag("all", "every listed node"),
                 flag("pick", "then select the fastest of them: exactly ONLINE, the lowest latency, then the "
                              "lower load; exit status 1 when none was reachable")},
                lines({"nimbrel-cli ping", "nimbrel-cli ping 3 7", "nimbrel-cli ping --all --pick"})),
        command("select", 1, 1, O::NodeId, "select ID", "choose the node to connect to",
                "Chooses the node the next connect uses, here and in the app.", {}, lines({"nimbrel-cli select 3"})),
        command("mode", 0, 1, O::Mode, "mode [safe|smart]", "show or set the routing mode",
                "Without an operand, shows the routing mode of the next connect: safe sends all traffic through "
                "the tunnel, smart splits it.",
                {}, lines({"nimbrel-cli mode", "nimbrel-cli mode smart"})),
        command("language", 0, 1, O::Language, "language [en|zh-CN|zh-TW|ru]", "show or set the language",
                "Without an operand, shows the language of the app's texts and this client's.", {},
                lines({"nimbrel-cli language", "nimbrel-cli language zh-TW"})),
        command("connect", 0, 1, O::NodeId, "connect [ID|NAME|--fastest]",
                "start the tunnel; runs until it ends or Ctrl-C",
                "Starts the tunnel to the chosen node, or to the one named, and prints each change of its status. "
                "Digits are a node id; other text (a name or a country) finds nodes as nodes FILTER does, and "
                "must find exactly one (when it finds several, they are listed and nothing starts). It runs "
                "until the tunnel ends (exit status 1) or Ctrl-C, SIGTERM or a hang-up stops it and cleans up "
                "(exit status 0). The first connect asks once for an administrator's password.",
                {flag("fastest", "probe the nodes and connect to the fastest (as ping --all --pick chooses); "
                                 "exit status 1 when none is reachable")},
                lines({"nimbrel-cli connect", "nimbrel-cli connect 3 --json", "nimbrel-cli connect 'new york'",
                       "nimbrel-cli connect --fastest"})),
        command("disconnect", 0, 0, O::None, "disconnect", "stop the tunnel the app or another client runs",
                "Stops the tunnel, whichever of the app or another nimbrel-cli drives it, and waits for its "
                "clean-up.",
                {}, lines({"nimbrel-cli disconnect"})),
        command("config", 0, 2, O::Switch, "config [KEY [on|off]]", "show or set the switches (off by default)",
                "Without a key, shows every switch; with a key (in any case), that one; with on or off, sets it, "
                "here and in the app. launchAtLogin starts the app in the tray when you log in (an XDG autostart "
                "entry); connectOnLaunch connects once at start, when the stored session signs in and the node "
                "list has loaded; autoReconnect starts a tunnel that was lost again, up to 3 times, after 2, 4 "
                "and 8 seconds.",
                {}, lines({"nimbrel-cli config", "nimbrel-cli config launchAtLogin on"})),
        command("report", 0, 0, O::None, "report", "a support report, every secret redacted",
                "Prints what someone helping you needs: versions, the system, the helper found with its owner "
                "and mode, whether the rights and the control program are installed, the tunnel's state and the "
                "helper log's last 200 lines. Tokens, the key, passwords and e-mail addresses are replaced by "
                "[redacted].",
                {}, lines({"nimbrel-cli report > report.txt"})),
        command("help", 0, 1, O::Command, "help [COMMAND]", "this overview, or one command's help", "", {},
                lines({"nimbrel-cli help ping"})),
    };
    return table;
}

const Command *find(const QString &name)
{
    for (const Command &command : commands()) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

const Command *nearest(const QString &name)
{
    const QString typed = name.toLower();
    const int allowed = std::min(2, std::max(1, int(typed.size()) / 3));
    const Command *closest = nullptr;
    int fewest = allowed + 1;
    for (const Command &command : commands()) {
        if (const int edits = editDistance(typed, command.name); edits < fewest) {
            closest = &command;
            fewest = edits;
        }
    }
    return closest;
}

const QList<Flag> &commonFlags()
{
    static const QList<Flag> flags{
        flag("json", "machine-readable output (one JSON document; JSON lines for ping, connect and status --follow)"),
        flag("settings", "use this preference file (also NIMBREL_SETTINGS); the app's by default", "FILE"),
        flag("api-base", "the service's API base URL (also NIMBREL_API_BASE)", "URL"),
        flag("web-site", "the service's web site (also NIMBREL_WEBSITE)", "URL"),
        flag("demo", "privileged commands are recorded, not run as root"),
        flag("help", "this help, or a command's with the command", "", "h"),
        flag("version", "the client's version", "", "V"),
    };
    return flags;
}

QString usage()
{
    QString text = QStringLiteral("Usage: nimbrel-cli [options] COMMAND [arguments]\n\nCommands:\n");
    for (const Command &command : commands())
        text += QStringLiteral("  %1 %2\n").arg(command.synopsis, -30).arg(command.summary);
    text += QStringLiteral("\nOptions:\n") + flagRows(commonFlags());
    text += QStringLiteral("\nExit status: 0 success, 1 a failure the service or the tunnel reported, 2 bad usage.\n"
                           "nimbrel-cli help COMMAND (or COMMAND --help) tells more of one command.\n");
    return text;
}

QString commandHelp(const Command &command)
{
    QString text =
        QStringLiteral("Usage: nimbrel-cli %1\n\n").arg(command.synopsis) + wrapped(sentence(command.summary));
    if (!command.details.isEmpty())
        text += QLatin1Char('\n') + wrapped(command.details);
    if (!command.flags.isEmpty())
        text += QStringLiteral("\nOptions:\n") + flagRows(command.flags);
    text += QStringLiteral("\nExamples:\n");
    for (const QString &example : command.examples)
        text += QStringLiteral("  ") + example + QLatin1Char('\n');
    text += QStringLiteral("\n") + wrapped(QStringLiteral("Every command also takes --json, --settings, --api-base, "
                                                          "--web-site and --demo (nimbrel-cli --help)."));
    return text;
}

QString bashCompletion()
{
    const QString cases = commandCases(QStringLiteral("        %1) words+=\" %2\" ;;\n"),
                                       QStringLiteral("$(nimbrel-cli \"${settings[@]}\" __node-ids 2>/dev/null)"));
    return QStringLiteral("# bash completion for nimbrel-cli\n"
                          "_nimbrel_cli()\n{\n"
                          "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
                          "    case $prev in\n"
                          "        --settings) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
                          "        %1) COMPREPLY=(); return ;;\n"
                          "    esac\n"
                          "    local command= i settings=()\n"
                          "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
                          "        case ${COMP_WORDS[i]} in\n"
                          "            --settings) settings=(--settings \"${COMP_WORDS[i+1]}\"); ((i++)) ;;\n"
                          "            %1) ((i++)) ;;\n"
                          "            -*) ;;\n"
                          "            *) command=${COMP_WORDS[i]}; break ;;\n"
                          "        esac\n"
                          "    done\n"
                          "    local words=\"%2\"\n"
                          "    case $command in\n"
                          "        '') words+=\" %3\" ;;\n"
                          "%4"
                          "    esac\n"
                          "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
                          "}\n"
                          "complete -F _nimbrel_cli nimbrel-cli\n")
        .arg(valueFlagForms().join(QLatin1Char('|')), shellWords(flagWords(commonFlags())), shellWords(commandNames()),
             cases);
}

QString zshCompletion()
{
    QString described;
    for (const Command &command : commands())
        described +=
            QStringLiteral("        '%1:%2'\n")
                .arg(command.name, QString(command.summary).replace(QLatin1Char('\''), QStringLiteral("'\\''")));
    const QString cases = commandCases(QStringLiteral("        (%1) compadd -- %2 ;;\n"),
                                       QStringLiteral("$(nimbrel-cli __node-ids 2>/dev/null)"));
    return QStringLiteral("#compdef nimbrel-cli\n"
                          "# zsh completion for nimbrel-cli\n"
                          "_nimbrel-cli() {\n"
                          "    local -a commands\n"
                          "    commands=(\n%1    )\n"
                          "    local command=${${words[2,CURRENT-1]:#-*}[1]}\n"
                          "    if [[ -z $command ]]; then\n"
                          "        _describe command commands\n"
                          "        compadd -- %2\n"
                          "        return\n"
                          "    fi\n"
                          "    case $command in\n%3"
                          "    esac\n"
                          "}\n"
                          "_nimbrel-cli \"$@\"\n")
        .arg(described, shellWords(flagWords(commonFlags())), cases);
}

QString fishCompletion()
{
    QString text = QStringLiteral("# fish completion for nimbrel-cli\ncomplete -c nimbrel-cli -f\n");
    for (const Flag &flag : commonFlags()) {
        text += QStringLiteral("complete -c nimbrel-cli -l %1%2%3 -d '%4'\n")
                    .arg(flag.name, flag.shortName.isEmpty() ? QString() : QStringLiteral(" -s ") + flag.shortName,
                         flag.value.isEmpty() ? QString() : QStringLiteral(" -r"),
                         QString(flag.help).replace(QLatin1Char('\''), QStringLiteral("\\'")));
    }
    for (const Command &command : commands()) {
        text += QStringLiteral("complete -c nimbrel-cli -n __fish_use_subcommand -a %1 -d '%2'\n")
                    .arg(command.name, QString(command.summary).replace(QLatin1Char('\''), QStringLiteral("\\'")));
        for (const Flag &flag : command.flags) {
            text += QStringLiteral("complete -c nimbrel-cli -n '__fish_seen_subcommand_from %1' -l %2%3 -d '%4'\n")
                        .arg(command.name, flag.name, flag.value.isEmpty() ? QString() : QStringLiteral(" -r"),
                             QString(flag.help).replace(QLatin1Char('\''), QStringLiteral("\\'")));
        }
        QString words = shellWords(operandWords(command.operand));
        if (command.operand == O::NodeId)
            words = QStringLiteral("(nimbrel-cli __node-ids 2>/dev/null)");
        if (!words.isEmpty())
            text += QStringLiteral("complete -c nimbrel-cli -n '__fish_seen_subcommand_from %1' -a '%2'\n")
                        .arg(command.name, words);
    }
    return text;
}

} // namespace CliCommandTable
