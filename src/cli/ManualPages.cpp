#include "ManualPages.h"

#include "CliCommandTable.h"
#include "app/AppOptions.h"

namespace ManualPages {

namespace {

// roff's own escapes: backslashes, hyphens that are minus signs, and a leading dot or quote.
QString roff(QString text)
{
    text.replace(QLatin1Char('\\'), QStringLiteral("\\e"));
    text.replace(QLatin1Char('-'), QStringLiteral("\\-"));
    if (text.startsWith(QLatin1Char('.')) || text.startsWith(QLatin1Char('\'')))
        text.prepend(QStringLiteral("\\&"));
    return text;
}

QString header(const QString &name, const QString &version, const QString &what)
{
    return QStringLiteral(".TH %1 1 \"\" \"%2 %3\" \"User Commands\"\n.SH NAME\n%4 \\- %5\n")
        .arg(roff(name.toUpper()), name, version, roff(name), what);
}

QString item(const QString &term, const QString &text)
{
    return QStringLiteral(".TP\n.B %1\n%2\n").arg(roff(term), roff(text));
}

} // namespace

QString app(const QString &version)
{
    QString page =
        header(QStringLiteral("nimbrel"), version, QStringLiteral("desktop client of the Nimbrel VPN service"));
    page += QStringLiteral(".SH SYNOPSIS\n.B nimbrel\n[\\fIoptions\\fR]\n.SH DESCRIPTION\n"
                           "Signs in to the service, shows the subscription, lists the server nodes with their load "
                           "and latency, and connects or disconnects the tunnel with one button, in safe (all "
                           "traffic) or smart (split) routing mode. It lives in one main window and a tray "
                           "panel. A second launch brings the first one's window to the front.\n"
                           ".PP\nThe tunnel itself is carried by a separate helper program, started with "
                           "administrator rights granted once through one prompt.\n.SH OPTIONS\n");
    page += item(QStringLiteral("-h, --help"), QStringLiteral("Displays the options and exits."));
    page += item(QStringLiteral("-v, --version"), QStringLiteral("Displays the version and exits."));
    for (const AppOptions::Described &option : AppOptions::described()) {
        if (option.developerOnly)
            continue;
        const QString term = QStringLiteral("--") + option.name +
                             (option.valueName.isEmpty() ? QString() : QLatin1Char(' ') + option.valueName.toUpper());
        page += item(term, option.description);
    }
    page += QStringLiteral(".SH FILES\n.TP\n.I ~/.config/Nimbrel/Nimbrel.conf\nThe preferences and the session, "
                           "private to the user.\n.SH SEE ALSO\nnimbrel\\-cli(1)\n");
    return page;
}

QString cli(const QString &version)
{
    using namespace CliCommandTable;
    QString page = header(QStringLiteral("nimbrel-cli"), version,
                          QStringLiteral("command-line client of the Nimbrel VPN service"));
    page += QStringLiteral(".SH SYNOPSIS\n.B nimbrel\\-cli\n[\\fIoptions\\fR] \\fICOMMAND\\fR [\\fIarguments\\fR]\n"
                           ".SH DESCRIPTION\nDrives the same account, node list and tunnel as the app nimbrel(1) "
                           "and shares its preference file: the same session, language, routing mode and chosen "
                           "node.\n.SH COMMANDS\n");
    for (const Command &command : commands()) {
        page +=
            item(command.synopsis, sentence(command.summary) +
                                       (command.details.isEmpty() ? QString() : QLatin1Char(' ') + command.details));
        for (const Flag &flag : command.flags)
            page += QStringLiteral(".RS\n") + item(flagForm(flag), flag.help) + QStringLiteral(".RE\n");
    }
    page += QStringLiteral(".SH OPTIONS\n");
    for (const Flag &flag : commonFlags())
        page += item(flagForm(flag), flag.help);
    page += QStringLiteral(".SH EXAMPLES\n.nf\n");
    for (const Command &command : commands()) {
        for (const QString &example : command.examples)
            page += roff(example) + QLatin1Char('\n');
    }
    page += QStringLiteral(".fi\n.SH EXIT STATUS\n0 success, 1 a failure the service or the tunnel reported, 2 bad "
                           "usage.\n.SH SEE ALSO\nnimbrel(1)\n");
    return page;
}

} // namespace ManualPages
