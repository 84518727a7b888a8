#pragma once

#include <QJsonObject>
#include <QString>

// Where the command-line client writes: results on standard output, as text or as JSON, and each error
// as one line on standard error, none with a character that steers a terminal (see TerminalText). Every
// write is flushed, so a pipe sees each line as it happens.
class CliOutput {
public:
    explicit CliOutput(bool json)
        : m_json(json)
    {}

    bool json() const { return m_json; }
    // A line of text (text mode only; ignored in JSON mode).
    void line(const QString &text) const;
    // A compact JSON document on one line (JSON mode only).
    void document(const QJsonObject &object) const;
    // "nimbrel-cli: " and the text, on standard error, in both modes.
    void error(const QString &text) const;

private:
    bool m_json;
};

// The client's exit statuses.
enum CliExit : int { ExitSuccess = 0, ExitFailure = 1, ExitUsage = 2 };
