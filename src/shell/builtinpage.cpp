#include "shell/builtinpage.h"

#include "shell/helptext.h"
#include "widgets/keywordrichedit.h"

#include <QStringList>
#include <QUrl>

ColourRules ColourRulesOf(const KeywordRichEdit &view)
{
    const KeywordTokenizer &t = view.Tokenizer();
    ColourRules rules;
    rules.keywords = t.Keywords();
    rules.quotes = t.QuoteChars();
    rules.commentChars = t.CommentChars();
    rules.commentWord = t.CommentWord();
    rules.keywordColour = view.StyleOf(KeywordTokenizer::TOKEN_KEYWORD).color;
    rules.numberColour = view.StyleOf(KeywordTokenizer::TOKEN_NUMBER).color;
    rules.stringColour = view.StyleOf(KeywordTokenizer::TOKEN_STRING).color;
    rules.commentColour = view.StyleOf(KeywordTokenizer::TOKEN_COMMENT).color;
    return rules;
}

namespace {

QString Esc(const QByteArray &latin1)
{
    return QString::fromLatin1(latin1).toHtmlEscaped();
}

QString Swatch(const QColor &colour, const QString &what)
{
    return QStringLiteral("<span style=\"color:%1\"><b>%2</b></span>").arg(colour.name(), what);
}

QString RulesHtml(const ColourRules &r)
{
    QStringList rows;
    if (!r.keywords.trimmed().isEmpty()) {
        const QByteArrayList words = r.keywords.simplified().split(' ');
        QStringList list;
        for (const QByteArray &w : words)
            list << Esc(w);
        rows << QStringLiteral("<li>%1 (case ignored, shown as listed): %2</li>")
                    .arg(Swatch(r.keywordColour, QStringLiteral("Keywords")), list.join(QStringLiteral(" ")));
    }
    rows << QStringLiteral("<li>%1: digits, a decimal point, an exponent (1, 3.5, 2E-3)</li>")
                .arg(Swatch(r.numberColour, QStringLiteral("Numbers")));
    if (!r.quotes.isEmpty())
        rows << QStringLiteral("<li>%1: from %2 to the next one, or to the end of the line</li>")
                    .arg(Swatch(r.stringColour, QStringLiteral("Strings")), Esc(r.quotes));
    QStringList starts;
    if (!r.commentChars.isEmpty() && uchar(r.commentChars.at(0)) >= 0x20)
        starts << QStringLiteral("<tt>%1</tt>").arg(Esc(r.commentChars));
    if (!r.commentWord.isEmpty())
        starts << QStringLiteral("the word <tt>%1</tt>").arg(Esc(r.commentWord));
    if (!starts.isEmpty())
        rows << QStringLiteral("<li>%1: from %2 to the end of the line</li>")
                    .arg(Swatch(r.commentColour, QStringLiteral("Comments")), starts.join(QStringLiteral(" or ")));
    return QStringLiteral("<ul>%1</ul>").arg(rows.join(QString()));
}

} // namespace

QString BuiltInPageHtml(const BuiltInPage &page)
{
    QString html;
    html += QStringLiteral("<h3>%1</h3>").arg(HelpCaption().toHtmlEscaped());
    if (!page.address.isEmpty()) {
        const QUrl url = QUrl::fromUserInput(page.address);
        html += QStringLiteral("<p>The maker's page: <a href=\"%1\">%2</a></p>")
                    .arg(url.toString(QUrl::FullyEncoded).toHtmlEscaped(), page.address.toHtmlEscaped());
    }
    if (!page.status.isEmpty())
        html += QStringLiteral("<p><i>%1</i></p>").arg(page.status.toHtmlEscaped());
    if (page.offerRetry)
        html += QStringLiteral("<p><a href=\"%1\">Try again</a></p>").arg(QLatin1String(kRetryLink));
    html += QStringLiteral("<hr><h4>Help</h4>");
    QStringList lines = HelpText().split(QStringLiteral("\r\n"));
    for (QString &line : lines)
        line = line.toHtmlEscaped();
    html += QStringLiteral("<p style=\"white-space:pre-wrap\">%1</p>").arg(lines.join(QStringLiteral("<br>")));
    html += QStringLiteral("<h4>Command sets</h4>"
                           "<p>One file per module type, <tt>Module/&lt;type&gt;.ini</tt>, in code page 936:</p>"
                           "<pre>[&lt;type&gt;]\ncmdnum=2\ncmd1=AT\ncmd2=AT+CSQ</pre>"
                           "<p>Commands are numbered from 1 without gaps; <tt>cmdnum</tt> says how many. "
                           "Send All sends them in order, each after the answer \"OK\", and stops at \"ERROR\".</p>");
    html += QStringLiteral("<h4>Colours in the receive view</h4>") + RulesHtml(page.rules);
    return html;
}
