#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// What a finished helper tool reported: success means it started and exited with status 0. Outputs
// are decoded as UTF-8 (empty when not decodable) and trimmed; when the tool could not start at all,
// errorOutput holds the reason instead.
struct ScriptResult {
    bool success = false;
    QString output;
    QString errorOutput;

    // Runs program with arguments, collects both outputs and waits for it. Blocks: worker threads only.
    // started (when given) learns the process id once it runs, and 0 once it has ended.
    static ScriptResult run(const QString &program, const QStringList &arguments,
                            const std::function<void(qint64 pid)> &started = {});
};
