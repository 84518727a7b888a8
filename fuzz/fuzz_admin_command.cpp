// Any helper path, hash, user number and file names: the root command the administrator approves either
// is refused, or it is the fixed script followed by each value as one word; quoted for the macOS prompt's
// shell, a POSIX shell splits it into exactly those words (nothing expanded), and the AppleScript literal
// around it gives back exactly that command.
#include "platform/AdminPrompt.h"
#include "tunnel/ControlProgram.h"
#include "tunnel/PrivilegeInstaller.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <optional>

namespace {

// The words and operators a POSIX shell reads from a command of simple commands joined by "&&" with
// ">" and ">>" redirections. None when the text holds anything else the shell would act on:
// expansions, globs, comments, other operators, unterminated quotes.
std::optional<QStringList> shellWords(const QString &command)
{
    QStringList words;
    QString word;
    bool inWord = false;
    const auto finish = [&] {
        if (inWord)
            words.append(word);
        word.clear();
        inWord = false;
    };
    for (qsizetype i = 0; i < command.size(); ++i) {
        const QChar c = command.at(i);
        if (c == QLatin1Char(' ')) {
            finish();
        } else if (c == QLatin1Char('\'')) {
            const qsizetype end = command.indexOf(QLatin1Char('\''), i + 1);
            if (end < 0)
                return std::nullopt;
            word += command.mid(i + 1, end - i - 1);
            inWord = true;
            i = end;
        } else if (c == QLatin1Char('\\')) {
            if (i + 1 >= command.size())
                return std::nullopt;
            word += command.at(++i);
            inWord = true;
        } else if (c == QLatin1Char('&')) {
            if (command.mid(i, 2) != QLatin1String("&&"))
                return std::nullopt;
            finish();
            words.append(QStringLiteral("&&"));
            ++i;
        } else if (c == QLatin1Char('>')) {
            finish();
            const bool append = command.mid(i, 2) == QLatin1String(">>");
            words.append(append ? QStringLiteral(">>") : QStringLiteral(">"));
            i += append ? 1 : 0;
        } else if (QStringLiteral("\"$`*?[]~#|;<(){}\n\t").contains(c)) {
            return std::nullopt; // unquoted, the shell would act on it
        } else {
            word += c;
            inWord = true;
        }
    }
    finish();
    return words;
}

// The text of an AppleScript string literal "…" with \\, \", \n and \r escapes, or none.
std::optional<QString> appleScriptString(const QString &literal)
{
    QString text;
    for (qsizetype i = 0; i < literal.size(); ++i) {
        const QChar c = literal.at(i);
        if (c == QLatin1Char('"'))
            return i == literal.size() - 1 ? std::optional(text) : std::nullopt;
        if (c == QLatin1Char('\\')) {
            if (++i >= literal.size())
                return std::nullopt;
            const QChar escaped = literal.at(i);
            text += escaped == QLatin1Char('n') ? QChar(u'\n') : escaped == QLatin1Char('r') ? QChar(u'\r') : escaped;
        } else {
            text += c;
        }
    }
    return std::nullopt;
}

QString consume(FuzzedDataProvider &provider)
{
    const std::string bytes = provider.ConsumeRandomLengthString(64);
    return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const QString binary = consume(provider);
    const QString hash = consume(provider);
    const uid_t user = provider.ConsumeIntegral<uid_t>();
    PrivilegeInstaller::Settings settings;
    QString controlPath = settings.control.program;
    if (provider.ConsumeBool())
        controlPath = consume(provider);
    if (provider.ConsumeBool())
        settings.sudoersFile = consume(provider);
    if (provider.ConsumeBool())
        settings.control.configFile = consume(provider);
    if (provider.ConsumeBool())
        settings.control.helperCopy = consume(provider);
    const QByteArray text = provider.ConsumeBool() ? ControlProgram::text() : QByteArray();

    const std::optional<QStringList> command =
        PrivilegeInstaller::installCommand(binary, hash, user, controlPath, text, settings);
    if (!command)
        return 0;
    const QStringList intended{QStringLiteral("/bin/sh"),
                               QStringLiteral("-c"),
                               QString::fromUtf8(ControlProgram::installText()),
                               QStringLiteral("nimbrel-install"),
                               binary,
                               hash,
                               QString::number(user),
                               settings.sudoersFile,
                               controlPath,
                               QString::fromUtf8(text),
                               settings.control.configFile,
                               settings.control.helperCopy,
                               settings.ownerGroup};
    if (*command != intended)
        std::abort();
    // Nothing that sudoers or the configuration file could read as more than one value.
    if (controlPath.contains(QLatin1Char(' ')) || binary.contains(QLatin1Char('\n')) || hash.size() != 64)
        std::abort();

    const QString shellCommand = SystemAdminPrompt::shellCommandFor(*command);
    if (shellWords(shellCommand) != command)
        std::abort();
    const QString script = SystemAdminPrompt::appleScriptFor(shellCommand);
    const QString head = QStringLiteral("do shell script \"");
    const QString tail = QStringLiteral(" with administrator privileges");
    if (!script.startsWith(head) || !script.endsWith(tail) ||
        appleScriptString(script.mid(head.size(), script.size() - head.size() - tail.size())) != shellCommand)
        std::abort();
    return 0;
}
