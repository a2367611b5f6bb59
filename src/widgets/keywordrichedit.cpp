#include "widgets/keywordrichedit.h"

#include "session/sessionlog.h"

#include <QFontDatabase>

KeywordRichEdit::KeywordRichEdit(QWidget *parent) : LogView(parent) {}

void KeywordRichEdit::InitViewFormat()
{
    const QString courier = QStringLiteral("Courier New");
    QFont font = QFontDatabase::families().contains(courier) ? QFont(courier) : FixedPitchFont();
    font.setPointSize(10);
    font.setBold(false);
    setFont(font);
    // Tab stops every 1440 / 5 twips: a fifth of an inch.
    setTabStopDistance(logicalDpiX() / 5.0);
    RecolourAll();
}

void KeywordRichEdit::SetMatchCase(bool matchCase)
{
    m_tokenizer.SetMatchCase(matchCase);
    RecolourAll();
}

void KeywordRichEdit::SetQuoteChars(const QByteArray &quotes)
{
    m_tokenizer.SetQuoteChars(quotes);
    RecolourAll();
}

void KeywordRichEdit::SetCommentChars(char c1, char c2)
{
    m_tokenizer.SetCommentChars(c1, c2);
    RecolourAll();
}

void KeywordRichEdit::SetCommentWord(const QByteArray &word)
{
    m_tokenizer.SetCommentWord(word);
    RecolourAll();
}

void KeywordRichEdit::AppendKeywords(const QByteArray &keywords)
{
    m_tokenizer.AppendKeywords(keywords);
    RecolourAll();
}

void KeywordRichEdit::RecolourSpan(qsizetype start, qsizetype end)
{
    // Colours are never stored: the lines are tokenised again when they are
    // painted, so colouring a span afresh means repainting what shows it.
    repaintRange(start, end);
}

void KeywordRichEdit::RecolourLines(qsizetype a, qsizetype b)
{
    const LineIndex &index = lineIndex();
    const qsizetype first = index.lineAt(a);
    const qsizetype last = index.lineAt(b);
    RecolourSpan(index.lineStart(first), index.lineStart(last) + index.lineLength(last));
}

void KeywordRichEdit::RecolourAll()
{
    RecolourSpan(0, lineIndex().indexedSize());
}

TextStyle KeywordRichEdit::StyleOf(KeywordTokenizer::TokenClass kind) const
{
    switch (kind) {
    case KeywordTokenizer::TOKEN_KEYWORD:
        return kKeywordStyle;
    case KeywordTokenizer::TOKEN_NUMBER:
        return kNumberStyle;
    case KeywordTokenizer::TOKEN_STRING:
        return kStringStyle;
    case KeywordTokenizer::TOKEN_COMMENT:
        return kCommentStyle;
    }
    return kPlainStyle;
}

void KeywordRichEdit::styleLine(qsizetype, QByteArray &lineBytes, QList<StyledRun> &runs) const
{
    m_tokens.clear();
    m_tokenizer.ScanLine(lineBytes.data(), lineBytes.size(), m_tokens);
    for (const KeywordTokenizer::Token &t : m_tokens) {
        const TextStyle style = StyleOf(t.kind);
        runs.append({t.start, t.length, style.color, style.bold});
    }
}
