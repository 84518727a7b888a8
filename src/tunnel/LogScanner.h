#pragma once

#include <QByteArray>

// Looks for the helper's start marker and its error words in a log that arrives in pieces. A word
// split across two pieces is still found, so any chunking gives the verdict a scan of the whole text
// gives. Works on the bytes (UTF-8), so one malformed byte cannot hide a marker.
class LogScanner {
public:
    void feed(const QByteArray &chunk);

    // The marker "VPN 隧道已启动" has been seen (it wins over an error word in the same text).
    bool sawMarker() const { return m_marker; }
    // "失败", "Error" or "error" has been seen.
    bool sawError() const { return m_error; }

private:
    QByteArray m_tail; // the end of the text so far that may begin a word
    bool m_marker = false;
    bool m_error = false;
};
