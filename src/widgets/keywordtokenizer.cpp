#include "widgets/keywordtokenizer.h"

#include <algorithm>
#include <cstring>

namespace {

enum : quint8 { kDigit = 1, kWordStart = 2, kWordChar = 4 };

constexpr std::array<quint8, 256> makeClasses()
{
    std::array<quint8, 256> t{};
    for (int c = '0'; c <= '9'; ++c)
        t[c] = kDigit | kWordChar;
    for (int c = 'A'; c <= 'Z'; ++c)
        t[c] = t[c + 32] = kWordStart | kWordChar;
    t['_'] = kWordStart | kWordChar;
    return t;
}
constexpr std::array<quint8, 256> kClasses = makeClasses();

inline bool isDigit(uchar b) { return kClasses[b] & kDigit; }
inline bool isWordStart(uchar b) { return kClasses[b] & kWordStart; }
inline bool isWordChar(uchar b) { return kClasses[b] & kWordChar; }
inline char foldAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }

// Code page 936: a lead byte followed by a trail byte is one character.
inline bool isLead(uchar b) { return b >= 0x81 && b <= 0xFE; }
inline bool isTrail(uchar b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE); }

// Bytes of the character at p (p < end): 2 for a double-byte pair, else 1.
inline qsizetype charLength(const uchar *p, const uchar *end)
{
    return isLead(p[0]) && p + 1 < end && isTrail(p[1]) ? 2 : 1;
}

bool equalsIgnoringCase(const char *a, qsizetype n, const QByteArray &b)
{
    if (n != b.size())
        return false;
    for (qsizetype i = 0; i < n; ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i]))
            return false;
    }
    return true;
}

} // namespace

KeywordTokenizer::KeywordTokenizer()
{
    SetQuoteChars(QByteArrayLiteral("\""));
}

QByteArray KeywordTokenizer::QuoteChars() const
{
    QByteArray quotes;
    for (int c = 1; c < 0x80; ++c)
        if (m_isQuote[c])
            quotes.append(char(c));
    return quotes;
}

QByteArray KeywordTokenizer::CommentChars() const
{
    QByteArray chars(1, m_commentChar1);
    if (m_commentChar2 != 0)
        chars.append(m_commentChar2);
    return chars;
}

void KeywordTokenizer::SetQuoteChars(const QByteArray &quotes)
{
    m_isQuote.fill(false);
    // Only ASCII characters can open a string: bytes of 0x80 and above belong
    // to double-byte characters, which are always plain.
    for (char c : quotes) {
        if (uchar(c) < 0x80 && c != 0)
            m_isQuote[uchar(c)] = true;
    }
}

void KeywordTokenizer::SetCommentChars(char c1, char c2)
{
    m_commentChar1 = c1;
    m_commentChar2 = c2;
}

void KeywordTokenizer::AppendKeywords(const QByteArray &keywords)
{
    m_keywords += keywords;
    m_keywordsFolded = m_keywords;
    if (!m_matchCase) {
        for (char &c : m_keywordsFolded)
            c = foldAscii(c);
    }
    RebuildLookup();
}

// The look-up below finds the first " word " in the folded list followed by
// one space. Splitting the list at spaces gives the same answer without a
// search per word: the first keyword (a run of non-spaces that has a space in
// front of it) equal to the word.
void KeywordTokenizer::RebuildLookup()
{
    for (auto &v : m_byFirst)
        v.clear();
    m_longestKeyword = 0;
    const char *k = m_keywordsFolded.constData();
    const qsizetype n = m_keywordsFolded.size();
    for (qsizetype i = 1; i < n; ++i) {
        if (k[i] == ' ' || k[i - 1] != ' ')
            continue;
        qsizetype e = i;
        while (e < n && k[e] != ' ')
            ++e;
        m_byFirst[uchar(k[i])].push_back({i - 1, e - i});
        m_longestKeyword = std::max(m_longestKeyword, e - i);
        i = e;
    }
}

qsizetype KeywordTokenizer::FindKeyword(const char *word, qsizetype length) const
{
    if (length <= 0)
        return -1;
    if (memchr(word, ' ', size_t(length))) {
        // Not a word of the scanner: search the pattern literally.
        QByteArray pattern = ' ' + QByteArray(word, length) + ' ';
        if (!m_matchCase) {
            for (char &c : pattern)
                c = foldAscii(c);
        }
        return (m_keywordsFolded + ' ').indexOf(pattern);
    }
    if (length > m_longestKeyword)
        return -1;
    const char first = m_matchCase ? word[0] : foldAscii(word[0]);
    for (const Entry &e : m_byFirst[uchar(first)]) {
        if (e.length != length)
            continue;
        const char *k = m_keywordsFolded.constData() + e.position + 1;
        qsizetype i = 1;
        if (m_matchCase) {
            while (i < length && k[i] == word[i])
                ++i;
        } else {
            while (i < length && k[i] == foldAscii(word[i]))
                ++i;
        }
        if (i == length)
            return e.position;
    }
    return -1;
}

bool KeywordTokenizer::StartsComment(const char *p, const char *end) const
{
    if (m_commentChar1 == 0 || uchar(m_commentChar1) >= 0x80 || *p != m_commentChar1)
        return false;
    return m_commentChar2 == 0 || (p + 1 < end && p[1] == m_commentChar2);
}

void KeywordTokenizer::ScanLine(char *line, qsizetype length, std::vector<Token> &tokens) const
{
    const char *const begin = line;
    char *const end = line + length;
    const auto *u = reinterpret_cast<const uchar *>(line);
    const auto *uend = u + length;
    auto add = [&](const char *from, const char *to, TokenClass kind) {
        tokens.push_back({from - begin, to - from, kind});
    };
    char *p = line;
    while (p < end) {
        const uchar b = u[p - begin];
        if (b >= 0x80) {
            p += charLength(u + (p - begin), uend);
            continue;
        }
        // 1. Comment: to the end of the line.
        if (StartsComment(p, end)) {
            add(p, end, TOKEN_COMMENT);
            return;
        }
        // 2. String: through the closing quote, or to the end of the line.
        if (m_isQuote[b]) {
            char *q = p + 1;
            while (q < end && *q != char(b))
                q += charLength(u + (q - begin), uend);
            q = q < end ? q + 1 : end;
            add(p, q, TOKEN_STRING);
            p = q;
            continue;
        }
        // 3. Number.
        if (isDigit(b)) {
            char *q = p + 1;
            while (q < end && isDigit(uchar(*q)))
                ++q;
            if (q < end && *q == '.') {
                ++q;
                while (q < end && isDigit(uchar(*q)))
                    ++q;
            }
            if (q < end && (*q == 'e' || *q == 'E' || *q == 'd' || *q == 'D')) {
                char *r = q + 1;
                if (r < end && (*r == '+' || *r == '-'))
                    ++r;
                if (r < end && isDigit(uchar(*r))) {
                    while (r < end && isDigit(uchar(*r)))
                        ++r;
                    q = r;
                }
            }
            add(p, q, TOKEN_NUMBER);
            p = q;
            continue;
        }
        // 4. Word.
        if (isWordStart(b)) {
            char *q = p + 1;
            while (q < end && isWordChar(uchar(*q)))
                ++q;
            const qsizetype n = q - p;
            const qsizetype found = FindKeyword(p, n);
            if (found < 0) {
                p = q;
                continue;
            }
            if (!m_matchCase && m_normaliseCase)
                memcpy(p, m_keywords.constData() + found + 1, size_t(n));
            // The comment word turns into the comment characters and the line
            // is a comment from there, when those characters make one: with a
            // second comment character and a one-letter word, the byte after
            // the word must be that character. Otherwise it stays a keyword.
            if (!m_commentWord.isEmpty() && equalsIgnoringCase(p, n, m_commentWord) && m_commentChar1 != 0
                && uchar(m_commentChar1) < 0x80
                && (m_commentChar2 == 0 || n >= 2 || (q < end && *q == m_commentChar2))) {
                add(p, end, TOKEN_COMMENT);
                return;
            }
            add(p, q, TOKEN_KEYWORD);
            p = q;
            continue;
        }
        // 5. Plain.
        ++p;
    }
}
