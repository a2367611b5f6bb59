// The receive view's tokeniser on whatever a module may send, under the main
// window's configuration or one made from the input. Checks:
//  - tokens lie inside their line, in order, without overlaps, none empty;
//  - the rewrite keeps every byte outside keywords and changes only the case
//    of ASCII letters inside them (never the length), and nothing when case
//    is matched;
//  - the keyword look-up gives what a literal search of " word " in the
//    keyword list does.

#include "widgets/keywordtokenizer.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>

namespace {

char fold(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c + 32) : c;
}

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

qsizetype literalFind(const KeywordTokenizer &t, QByteArray folded, const QByteArray &word)
{
    QByteArray pattern = ' ' + word + ' ';
    if (!t.MatchCase()) {
        for (char &c : pattern)
            c = fold(c);
    }
    return (folded + ' ').indexOf(pattern);
}

void scanLine(const KeywordTokenizer &t, const QByteArray &line)
{
    QByteArray shown = line;
    std::vector<KeywordTokenizer::Token> tokens;
    t.ScanLine(shown.data(), shown.size(), tokens);
    check(shown.size() == line.size());
    std::vector<bool> inKeyword(size_t(line.size()), false);
    qsizetype end = 0;
    for (const KeywordTokenizer::Token &tok : tokens) {
        check(tok.start >= end && tok.length > 0 && tok.start + tok.length <= line.size());
        end = tok.start + tok.length;
        if (tok.kind == KeywordTokenizer::TOKEN_KEYWORD || tok.kind == KeywordTokenizer::TOKEN_COMMENT)
            std::fill(inKeyword.begin() + tok.start, inKeyword.begin() + end, true);
    }
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (shown[i] == line[i])
            continue;
        check(!t.MatchCase() && inKeyword[size_t(i)] && fold(shown[i]) == fold(line[i]));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    KeywordTokenizer t;
    QByteArray folded; // the keyword list as the look-up sees it
    if (in.ConsumeBool()) {
        t.SetMatchCase(false);
        t.SetQuoteChars("\"");
        t.SetCommentChars('\'', 0);
        t.SetCommentWord("rem");
        t.AppendKeywords(" AT at ERROR READY OK MIPOPEN MIPRTCP MIPSTAT MIPCALL CSQ CPIN  IPCLOSE IPDATA CONNECT IPOPEN");
        folded = t.Keywords().toLower();
    } else {
        const bool matchCase = in.ConsumeBool();
        t.SetMatchCase(matchCase);
        const std::string quotes = in.ConsumeRandomLengthString(4);
        t.SetQuoteChars(QByteArray(quotes.data(), qsizetype(quotes.size())));
        const char c1 = in.ConsumeIntegral<char>();
        const char c2 = in.ConsumeIntegral<char>();
        t.SetCommentChars(c1, c2);
        const std::string word = in.ConsumeRandomLengthString(8);
        t.SetCommentWord(QByteArray(word.data(), qsizetype(word.size())));
        const std::string keywords = in.ConsumeRandomLengthString(64);
        QByteArray list(keywords.data(), qsizetype(keywords.size()));
        t.AppendKeywords(list);
        folded = list;
        if (!matchCase) {
            for (char &c : folded)
                c = fold(c);
        }
        // Case matched or not after the keywords were appended.
        t.SetMatchCase(in.ConsumeBool());
    }
    const std::vector<char> rest = in.ConsumeRemainingBytes<char>();
    const QByteArray text(rest.data(), qsizetype(rest.size()));

    // Lines as the view cuts them: at CR and LF.
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\r' || text[i] == '\n') {
            scanLine(t, text.mid(start, i - start));
            start = i + 1;
        }
    }
    // Look-ups of the words of the text, and of the text's first bytes.
    for (qsizetype i = 0; i < text.size() && i < 512;) {
        qsizetype j = i;
        while (j < text.size() && j - i < 16 && text[j] != ' ')
            ++j;
        const QByteArray word = text.mid(i, j - i);
        if (!word.isEmpty())
            check(t.FindKeyword(word.constData(), word.size()) == literalFind(t, folded, word));
        i = j + 1;
    }
    const QByteArray head = text.left(12);
    if (!head.isEmpty())
        check(t.FindKeyword(head.constData(), head.size()) == literalFind(t, folded, head));
    return 0;
}
