#include "at/replyflags.h"

#include <QByteArrayView>
#include <algorithm>

namespace {

// True when `word` occurs in `text` with its end past `oldBytes`, the bytes
// of text that were already searched with the previous chunk.
bool HasNewMatch(QByteArrayView text, qsizetype oldBytes, QByteArrayView word)
{
    const qsizetype from = std::max<qsizetype>(0, oldBytes - (word.size() - 1));
    return text.indexOf(word, from) >= 0;
}

} // namespace

void ReplyScanner::Scan(const char *data, qsizetype n, ReplyFlags &flags)
{
    if (n <= 0) {
        flags.okSeen = true;
        return;
    }
    static constexpr QByteArrayView ok("OK");
    static constexpr QByteArrayView error("ERROR");
    const qsizetype old = m_tail.size();
    m_tail.append(data, n);
    const QByteArrayView text(m_tail);
    if (HasNewMatch(text, old, ok))
        flags.okSeen = true;
    if (HasNewMatch(text, old, error))
        flags.noError = false;
    // Keep just enough to complete the longest word with the next chunk.
    const qsizetype keep = error.size() - 1;
    if (m_tail.size() > keep)
        m_tail.remove(0, m_tail.size() - keep);
}
