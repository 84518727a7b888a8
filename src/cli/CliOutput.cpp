#include "CliOutput.h"

#include "TerminalText.h"

#include <QJsonDocument>

#include <cstdio>

namespace {

void put(std::FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

void CliOutput::line(const QString &text) const
{
    if (!m_json)
        put(stdout, TerminalText::safe(text).toUtf8());
}

void CliOutput::document(const QJsonObject &object) const
{
    if (m_json)
        put(stdout, TerminalText::safeJson(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

void CliOutput::error(const QString &text) const
{
    QString oneLine = text;
    oneLine.replace(QLatin1Char('\n'), QLatin1Char(' '));
    put(stderr, QStringLiteral("nimbrel-cli: %1").arg(TerminalText::safe(oneLine)).toUtf8());
}
