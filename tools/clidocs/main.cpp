// A build-time tool: writes the manual pages and the shell completions, made from the tables the
// programs parse their own command lines with.
#include "cli/CliCommandTable.h"
#include "cli/ManualPages.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    const QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 4) {
        std::fputs("usage: nimbrel-clidocs man-app|man-cli|bash|zsh|fish VERSION OUTPUT\n", stderr);
        return 2;
    }
    const QString &what = arguments.at(1);
    const QString &version = arguments.at(2);
    QString text;
    if (what == QLatin1String("man-app"))
        text = ManualPages::app(version);
    else if (what == QLatin1String("man-cli"))
        text = ManualPages::cli(version);
    else if (what == QLatin1String("bash"))
        text = CliCommandTable::bashCompletion();
    else if (what == QLatin1String("zsh"))
        text = CliCommandTable::zshCompletion();
    else if (what == QLatin1String("fish"))
        text = CliCommandTable::fishCompletion();
    else {
        std::fprintf(stderr, "nimbrel-clidocs: unknown output \"%s\"\n", qPrintable(what));
        return 2;
    }
    QFile output(arguments.at(3));
    if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate) || output.write(text.toUtf8()) < 0) {
        std::fprintf(stderr, "nimbrel-clidocs: cannot write %s\n", qPrintable(arguments.at(3)));
        return 1;
    }
    return 0;
}
