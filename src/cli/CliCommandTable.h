#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The command-line client's commands and options, once: the parser, the help texts, the manual page
// and the shell completions are all made from this table, so none can drift from the others.
namespace CliCommandTable {

// What a command's operands are, for completion.
enum class Operand { None, NodeId, Email, Mode, Language, Command, Switch };

struct Flag {
    QString name;      // the long name, without dashes
    QString shortName; // one letter, or empty
    QString value;     // the value's name ("FILE"), or empty for a switch
    QString help;
};

struct Command {
    QString name;
    int minOperands = 0;
    int maxOperands = 0; // -1: any number
    Operand operand = Operand::None;
    QString synopsis; // "ping [ID...|--all]"
    QString summary;  // one line
    QString details;  // a paragraph
    QList<Flag> flags;
    QStringList examples;
};

const QList<Command> &commands();
const Command *find(const QString &name);
// The command a mistyped name most likely meant: the one fewest edits away (a letter added, dropped or
// changed, or two neighbours swapped, whatever the case), when that is at most a third of the name (but
// 1 always, 2 at most); else null.
const Command *nearest(const QString &name);
// The options every command takes.
const QList<Flag> &commonFlags();

// nimbrel-cli --help: every command and the common options.
QString usage();
// nimbrel-cli help COMMAND, nimbrel-cli COMMAND --help.
QString commandHelp(const Command &command);

// "--settings FILE", "-h, --help".
QString flagForm(const Flag &flag);
// The summary as a sentence: capitalised, with its full stop.
QString sentence(QString text);
// Completion scripts: commands, options and their values; node ids from the list the last "nodes"
// printed (nimbrel-cli __node-ids reads it from the preference file, without asking the service).
QString bashCompletion();
QString zshCompletion();
QString fishCompletion();

} // namespace CliCommandTable
