#pragma once

#include "widgets/keywordtokenizer.h"
#include "widgets/logview.h"

#include <QColor>
#include <vector>

// A colour and a boldness, as the view applies them to a token class.
struct TextStyle
{
    QColor color;
    bool bold = false;
};

// The receive view: a LogView that colours the AT vocabulary. Keywords are
// blue, numbers and quoted strings magenta, line comments green, everything
// else black, none bold; a keyword found without regard to case is shown in
// the keyword list's spelling (received "ok" shows as "OK"), while the log
// and a saved file keep the bytes as received.
//
// Colouring is worked out per line whenever a line is painted, copied or
// read by accessibility, so it always matches the log as it is now: a word
// whose halves arrived in two reads is coloured as one word once the second
// half is there. The Recolour operations say which lines must be coloured
// afresh (after a change of configuration, say) and repaint them.
class KeywordRichEdit : public LogView
{
    Q_OBJECT

public:
    explicit KeywordRichEdit(QWidget *parent = nullptr);

    // Font "Courier New" 10 pt where the system has it, otherwise the system's
    // fixed-width font at 10 pt; tab stops every fifth of an inch.
    void InitViewFormat();
    void SetMatchCase(bool matchCase);
    void SetQuoteChars(const QByteArray &quotes);
    void SetCommentChars(char c1, char c2);
    void SetCommentWord(const QByteArray &word);
    void AppendKeywords(const QByteArray &keywords);

    // Colours [start, end) of the log afresh (nothing when start >= end).
    void RecolourSpan(qsizetype start, qsizetype end);
    // RecolourSpan from the start of the line holding a to the end of the
    // line holding b (its break not counted).
    void RecolourLines(qsizetype a, qsizetype b);
    void RecolourAll();

    const KeywordTokenizer &Tokenizer() const { return m_tokenizer; }
    TextStyle StyleOf(KeywordTokenizer::TokenClass kind) const;

    static constexpr TextStyle kPlainStyle{QColor(0, 0, 0), false};
    static constexpr TextStyle kCommentStyle{QColor(0, 128, 0), false};
    static constexpr TextStyle kNumberStyle{QColor(255, 0, 255), false};
    static constexpr TextStyle kStringStyle{QColor(255, 0, 255), false};
    static constexpr TextStyle kKeywordStyle{QColor(0, 0, 255), false};

protected:
    void styleLine(qsizetype lineStart, QByteArray &lineBytes, QList<StyledRun> &runs) const override;

private:
    KeywordTokenizer m_tokenizer;
    mutable std::vector<KeywordTokenizer::Token> m_tokens;
};
