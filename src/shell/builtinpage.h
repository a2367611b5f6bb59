#pragma once

#include <QByteArray>
#include <QColor>
#include <QString>

class KeywordRichEdit;

// What the receive view colours, as the page below tells it.
struct ColourRules
{
    QByteArray keywords; // space-separated, as the view holds them
    QByteArray quotes;
    QByteArray commentChars;
    QByteArray commentWord;
    QColor keywordColour, numberColour, stringColour, commentColour;
};

ColourRules ColourRulesOf(const KeywordRichEdit &view);

// The web panel's own page, shown while the maker's page is not: the address
// as a link, why the page is not shown, and what is useful offline (the Help
// text, the colour rules, the command-set format). Links: the address, and
// kRetryLink when `offerRetry`.
struct BuiltInPage
{
    QString address;
    QString status;
    bool offerRetry = false;
    ColourRules rules;
};

inline constexpr char kRetryLink[] = "action:retry";

QString BuiltInPageHtml(const BuiltInPage &page);
