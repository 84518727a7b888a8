#include "LogScanner.h"

#include <array>

namespace {

const QByteArray kMarker = QByteArrayLiteral("VPN \xe9\x9a\xa7\xe9\x81\x93\xe5\xb7\xb2\xe5\x90\xaf\xe5\x8a\xa8");
const std::array<QByteArray, 3> kErrorWords{QByteArrayLiteral("\xe5\xa4\xb1\xe8\xb4\xa5"), QByteArrayLiteral("Error"),
                                            QByteArrayLiteral("error")};

qsizetype longestWord()
{
    qsizetype longest = kMarker.size();
    for (const QByteArray &word : kErrorWords)
        longest = std::max(longest, word.size());
    return longest;
}

} // namespace

void LogScanner::feed(const QByteArray &chunk)
{
    if (chunk.isEmpty())
        return;
    const QByteArray text = m_tail + chunk;
    if (!m_marker && text.contains(kMarker))
        m_marker = true;
    if (!m_error) {
        for (const QByteArray &word : kErrorWords) {
            if (text.contains(word)) {
                m_error = true;
                break;
            }
        }
    }
    const qsizetype keep = longestWord() - 1;
    m_tail = text.size() > keep ? text.right(keep) : text;
}
