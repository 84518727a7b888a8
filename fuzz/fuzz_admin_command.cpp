// Any helper path, user name and file names: the root command the administrator approves either is
// refused, or a POSIX shell splits it into exactly the intended words (each value one word, nothing
// expanded), and the AppleScript literal around it gives back exactly that command.
#include "platform/AdminPrompt.h"
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

// The text of an AppleScript string literal "…" with \\ and \" escapes, or none.
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
            text += literal.at(i);
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
    const QString user = consume(provider);
    PrivilegeInstaller::Settings settings;
    if (provider.ConsumeBool())
        settings.cleanupScript = consume(provider);
    if (provider.ConsumeBool())
        settings.sudoersFile = consume(provider);

    const std::optional<QString> command = PrivilegeInstaller::installCommand(binary, user, settings);
    if (!command)
        return 0;

    const QString file = settings.sudoersFile;
    const auto rule = [&](const QString &what) { return user + QStringLiteral(" ALL=(ALL) NOPASSWD: ") + what; };
    const QStringList intended{QStringLiteral("chown"),
                               QStringLiteral("root:") + settings.ownerGroup,
                               binary,
                               QStringLiteral("&&"),
                               QStringLiteral("chmod"),
                               QStringLiteral("4755"),
                               binary,
                               QStringLiteral("&&"),
                               QStringLiteral("echo"),
                               rule(QStringLiteral("/bin/kill")),
                               QStringLiteral(">"),
                               file,
                               QStringLiteral("&&"),
                               QStringLiteral("echo"),
                               rule(QStringLiteral("/sbin/route delete *")),
                               QStringLiteral(">>"),
                               file,
                               QStringLiteral("&&"),
                               QStringLiteral("echo"),
                               rule(QStringLiteral("/bin/sh ") + settings.cleanupScript),
                               QStringLiteral(">>"),
                               file,
                               QStringLiteral("&&"),
                               QStringLiteral("chmod"),
                               QStringLiteral("440"),
                               file};
    if (shellWords(*command) != intended)
        std::abort();
    // echo may interpret backslashes (dash does): the sudoers lines must not contain any.
    if (user.contains(QLatin1Char('\\')) || settings.cleanupScript.contains(QLatin1Char('\\')))
        std::abort();

    const QString script = SystemAdminPrompt::appleScriptFor(*command);
    const QString head = QStringLiteral("do shell script \"");
    const QString tail = QStringLiteral(" with administrator privileges");
    if (!script.startsWith(head) || !script.endsWith(tail) ||
        appleScriptString(script.mid(head.size(), script.size() - head.size() - tail.size())) != command)
        std::abort();
    return 0;
}
