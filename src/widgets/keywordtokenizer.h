#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <array>
#include <vector>

// Splits one line of received text (code page 936 bytes, no line break) into
// the tokens the receive view colours: line comments, quoted strings, numbers
// and keywords. Everything outside a token is plain. It needs no widget, so
// tests and the fuzz target drive it directly.
//
// Rules, tried in this order at each character:
//  1. Comment: the first comment character (followed by the second one, when
//     one is set) starts a comment that runs to the end of the line.
//  2. String: a quote character starts a string that runs through the next
//     occurrence of the same character, or to the end of the line when the
//     quote is not closed.
//  3. Number: a digit starts the longest prefix that reads as a decimal
//     floating-point number: digits, optionally "." and more digits,
//     optionally an exponent (e, E, d or D, an optional sign and at least one
//     digit; a letter without digits after it is not part of the number).
//  4. Word: an ASCII letter or "_" starts a word of ASCII letters, digits and
//     "_". A word found in the keyword list is a keyword; when the look-up
//     ignores case it is shown in the list's spelling. A keyword equal to the
//     comment word (ignoring case) starts a comment instead. Other words are
//     plain.
//  5. Anything else is plain.
//
// The rules see characters, not bytes: a code page 936 double-byte character
// is one plain character that ends a word, so its trail byte (which may be an
// ASCII letter or digit) never starts or continues a token, and every byte of
// 0x80 and above is plain.
class KeywordTokenizer
{
public:
    enum TokenClass : quint8 { TOKEN_KEYWORD, TOKEN_NUMBER, TOKEN_STRING, TOKEN_COMMENT };

    struct Token
    {
        qsizetype start = 0; // from the line's first byte
        qsizetype length = 0;
        TokenClass kind = TOKEN_KEYWORD;
    };

    // Quote characters "\"", comment character 0x01, no comment word, no
    // keywords, case ignored.
    KeywordTokenizer();

    // Keyword look-up respects case. It does not refold keywords already
    // appended.
    void SetMatchCase(bool matchCase) { m_matchCase = matchCase; }
    bool MatchCase() const { return m_matchCase; }
    // Characters that open (and close) a string.
    void SetQuoteChars(const QByteArray &quotes);
    // A comment starts with c1, or with c1 followed by c2 when c2 is not 0.
    void SetCommentChars(char c1, char c2);
    // A keyword that starts a comment.
    void SetCommentWord(const QByteArray &word) { m_commentWord = word; }
    QByteArray QuoteChars() const;
    // The one or two characters that start a comment.
    QByteArray CommentChars() const;
    const QByteArray &CommentWord() const { return m_commentWord; }
    // Appends to the keyword list, unchanged: keywords stand between spaces, so
    // the caller supplies them. The look-up copy is lower-cased when case is
    // not matched at the time of the call.
    void AppendKeywords(const QByteArray &keywords);
    const QByteArray &Keywords() const { return m_keywords; }

    // The position in Keywords() of the space in front of the first keyword
    // that equals the word (lower-cased first when case is not matched), or -1.
    qsizetype FindKeyword(const char *word, qsizetype length) const;

    // Tokenises `length` bytes of one line, appending the tokens in order to
    // `tokens`, and rewrites keywords in place to the list's spelling when case
    // is not matched (a rewrite never changes a byte count, only the case of
    // ASCII letters).
    void ScanLine(char *line, qsizetype length, std::vector<Token> &tokens) const;

private:
    struct Entry
    {
        qsizetype position; // of the space in front, in m_keywords
        qsizetype length;
    };
    void RebuildLookup();
    bool StartsComment(const char *p, const char *end) const;

    bool m_matchCase = false;
    bool m_normaliseCase = true;
    char m_commentChar1 = 0x01;
    char m_commentChar2 = 0;
    QByteArray m_commentWord;
    QByteArray m_keywords;
    QByteArray m_keywordsFolded;
    std::array<bool, 256> m_isQuote{};
    // Keywords by the first byte of their look-up spelling; the first entry in
    // list order that matches wins.
    std::array<std::vector<Entry>, 256> m_byFirst;
    qsizetype m_longestKeyword = 0;
};
