#include "text/gbkfind.h"

#include "text/gbk.h"

GbkFinder::GbkFinder(const QByteArray &pattern, bool caseSensitive)
    : m_caseSensitive(caseSensitive)
{
    for (int b = 0; b < 256; ++b)
        m_fold[size_t(b)] = uchar(!caseSensitive && b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b);
    m_pattern.resize(pattern.size());
    for (qsizetype i = 0; i < pattern.size(); ++i)
        m_pattern[i] = char(m_fold[uchar(pattern[i])]);
    // Horspool: how far the window may move when its last byte, folded, is b.
    const qsizetype m = m_pattern.size();
    m_skip.fill(std::max<qsizetype>(m, 1));
    for (qsizetype i = 0; i + 1 < m; ++i)
        m_skip[uchar(m_pattern[i])] = m - 1 - i;
}

qsizetype GbkFinder::characterStartAtOrBefore(const char *data, qsizetype pos)
{
    if (pos <= 0)
        return 0;
    // Back to a byte that is a character on its own (or the start), then
    // forward a character at a time.
    qsizetype from = pos;
    while (from > 0 && !isBoundary(uchar(data[from - 1])))
        --from;
    qsizetype last = from;
    while (from < pos) {
        last = from;
        from += Gbk::unitAt(data + from, pos + 1 - from).length;
    }
    return from == pos ? pos : last;
}

qsizetype GbkFinder::next(const char *data, qsizetype n, qsizetype from, qsizetype limit) const
{
    const qsizetype m = m_pattern.size();
    if (m == 0)
        return -1;
    limit = std::min(limit, n - m + 1);
    const char *pattern = m_pattern.constData();
    const uchar last = uchar(pattern[m - 1]);
    for (qsizetype at = std::max<qsizetype>(from, 0); at < limit;) {
        const uchar tail = m_fold[uchar(data[at + m - 1])];
        if (tail == last) {
            qsizetype i = m - 2;
            while (i >= 0 && m_fold[uchar(data[at + i])] == uchar(pattern[i]))
                --i;
            if (i < 0 && startsCharacter(data, at))
                return at;
        }
        at += m_skip[tail];
    }
    return -1;
}

qsizetype GbkFinder::count(const char *data, qsizetype n, qsizetype limit) const
{
    qsizetype found = 0;
    forEach(data, n, limit, [&](qsizetype) {
        ++found;
        return true;
    });
    return found;
}
