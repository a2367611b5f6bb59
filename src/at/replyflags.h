#pragma once

#include <QByteArray>
#include <atomic>

// What the receive path has seen of the module's replies, for Send All.
struct ReplyFlags
{
    std::atomic<bool> okSeen { false };
    std::atomic<bool> noError { true };
};

// Looks for "OK" and "ERROR" (case-sensitive, anywhere in the text) in each
// received chunk. A reply split over two chunks is still found: the end of the
// previous chunk is searched together with the new one, and a match lying
// wholly in the previous chunk is not counted again.
class ReplyScanner
{
public:
    // Updates the flags from one chunk: okSeen is set when the chunk holds
    // "OK" or when it is empty (a read that found nothing); noError is
    // cleared when it holds "ERROR".
    void Scan(const char *data, qsizetype n, ReplyFlags &flags);
    // Forgets the previous chunk (a new session starts).
    void Reset() { m_tail.clear(); }

private:
    QByteArray m_tail; // the last bytes of the text seen so far
};
