// Tests of the keyword tokeniser of the receive view, configured as the main
// window configures it.

#include "widgets/keywordtokenizer.h"

#include <QTest>

namespace {

using T = KeywordTokenizer;

const QByteArray kWindowKeywords =
    " AT at ERROR READY OK MIPOPEN MIPRTCP MIPSTAT MIPCALL CSQ CPIN  IPCLOSE IPDATA CONNECT IPOPEN";

KeywordTokenizer windowTokenizer()
{
    KeywordTokenizer t;
    t.SetMatchCase(false);
    t.SetQuoteChars("\"");
    t.SetCommentChars('\'', 0);
    t.SetCommentWord("rem");
    t.AppendKeywords(kWindowKeywords);
    return t;
}

// The line as shown, with one letter per byte marking its class: k keyword,
// n number, s string, c comment, "." plain. Tokens must lie inside the line,
// in order and without overlaps.
struct Scan
{
    QByteArray shown;
    QByteArray classes;
};

Scan scan(const KeywordTokenizer &t, const QByteArray &line)
{
    Scan s{line, QByteArray(line.size(), '.')};
    std::vector<T::Token> tokens;
    t.ScanLine(s.shown.data(), s.shown.size(), tokens);
    qsizetype end = 0;
    for (const T::Token &tok : tokens) {
        if (tok.start < end || tok.length <= 0 || tok.start + tok.length > line.size()) {
            qWarning("bad token %lld+%lld after %lld", qlonglong(tok.start), qlonglong(tok.length), qlonglong(end));
            return {};
        }
        static const char letters[] = "knsc";
        s.classes.replace(tok.start, tok.length, QByteArray(tok.length, letters[tok.kind]));
        end = tok.start + tok.length;
    }
    return s;
}

} // namespace

class TestKeywordTokenizer : public QObject
{
    Q_OBJECT

private slots:
    void lines_data();
    void lines();
    void chineseIsPlain();
    void keywordLookUp();
    void matchCase();
    void commentWord();
    void hostileConfiguration();
};

void TestKeywordTokenizer::lines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("shown");
    QTest::addColumn<QByteArray>("classes");

    auto row = [](const char *name, const QByteArray &line, const QByteArray &shown, const QByteArray &classes) {
        QTest::newRow(name) << line << shown << classes;
    };
    row("command", "AT+CMGF=1", "AT+CMGF=1", "kk......n");
    row("signal reply", "+CSQ: 20,99", "+CSQ: 20,99", ".kkk..nn.nn");
    row("spelling", "ok At at ERROR", "OK AT AT ERROR", "kk.kk.kk.kkkkk");
    row("last keyword", "IPOPEN IPCLOSE", "IPOPEN IPCLOSE", "kkkkkk.kkkkkkk");
    row("whole words", "COM1 ATE0 CMGF", "COM1 ATE0 CMGF", "..............");
    row("query", "AT+CSCA?", "AT+CSCA?", "kk......");
    row("quoted", "AT+CGDCONT=1,\"IP\",\"cmnet\"", "AT+CGDCONT=1,\"IP\",\"cmnet\"",
        "kk.........n.ssss.sssssss");
    row("unclosed quote", "+CMGS: \"10086 OK", "+CMGS: \"10086 OK", ".......sssssssss");
    row("apostrophe comment", "AT 'OK 12 \"x\"", "AT 'OK 12 \"x\"", "kk.cccccccccc");
    row("rem not a keyword", "rem OK", "rem OK", "....kk");
    row("exponent", "1e5 2.5 1E-3 4d+2", "1e5 2.5 1E-3 4d+2", "nnn.nnn.nnnn.nnnn");
    row("letter without digits", "1e", "1e", "n.");
    row("hex", "0x1F", "0x1F", "n...");
    row("point", "1.2.3", "1.2.3", "nnn.n");
    row("underscore word", "_OK OK_ x", "_OK OK_ x", ".........");
    row("control bytes", QByteArray("OK\0AT\tCSQ", 9), QByteArray("OK\0AT\tCSQ", 9), "kk.kk.kkk");
    row("empty", "", "", "");
}

void TestKeywordTokenizer::lines()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, shown);
    QFETCH(QByteArray, classes);
    const Scan s = scan(windowTokenizer(), line);
    QCOMPARE(s.shown, shown);
    QCOMPARE(s.classes, classes);
}

// Code page 936 characters are plain and end words; their trail bytes, which
// may be ASCII letters, never start or continue a token.
void TestKeywordTokenizer::chineseIsPlain()
{
    const KeywordTokenizer t = windowTokenizer();
    // 中文 then OK: the keyword right after Chinese text.
    Scan s = scan(t, "\xD6\xD0\xCE\xC4OK");
    QCOMPARE(s.classes, QByteArray("....kk"));
    // 0x81 'a' is one character: "at" is not a word here, so nothing is
    // coloured and nothing is rewritten.
    s = scan(t, "\x81" "at 1");
    QCOMPARE(s.shown, QByteArray("\x81" "at 1"));
    QCOMPARE(s.classes, QByteArray("....n"));
    // 0x81 'O' then "K": the K alone is no keyword.
    s = scan(t, "\x81OK");
    QCOMPARE(s.classes, QByteArray("..."));
    // A word stops at a Chinese character.
    s = scan(t, "OK\xD6\xD0" "CSQ");
    QCOMPARE(s.classes, QByteArray("kk..kkk"));
    // A lone lead byte at the end of a line, or before a byte that is no
    // trail, is one plain byte.
    s = scan(t, "OK\x81");
    QCOMPARE(s.classes, QByteArray("kk."));
    s = scan(t, "\x81" "1");
    QCOMPARE(s.classes, QByteArray(".n"));

    // A quote character that can be a trail byte: the string ends at the
    // quote, not inside the character 0x81 0x7C.
    KeywordTokenizer bars = windowTokenizer();
    bars.SetQuoteChars("|");
    s = scan(bars, "|\x81|x| OK");
    QCOMPARE(s.classes, QByteArray("sssss.kk"));
}

void TestKeywordTokenizer::keywordLookUp()
{
    const KeywordTokenizer t = windowTokenizer();
    auto find = [&](const QByteArray &w) { return t.FindKeyword(w.constData(), w.size()); };
    // The position of the space in front of the keyword.
    QCOMPARE(find("AT"), 0);
    QCOMPARE(find("at"), 0);
    QCOMPARE(find("aT"), 0);
    QCOMPARE(find("IPOPEN"), kWindowKeywords.indexOf(" IPOPEN"));
    QCOMPARE(find("IPCLOSE"), kWindowKeywords.indexOf(" IPCLOSE"));
    QCOMPARE(find("CSQ"), kWindowKeywords.indexOf(" CSQ"));
    QCOMPARE(find("CS"), -1);
    QCOMPARE(find("OKAY"), -1);
    QCOMPARE(find(""), -1);
    // Not a word of the scanner: the pattern is looked up as it stands.
    QCOMPARE(find("at error"), kWindowKeywords.indexOf(" at ERROR"));
    QCOMPARE(find("CPIN "), kWindowKeywords.indexOf(" CPIN  "));
    // Bytes of 0x80 and above, in a word and in the list.
    QCOMPARE(find("\xD6\xD0"), -1);
    KeywordTokenizer chinese;
    chinese.AppendKeywords(" \xD6\xD0\xCE\xC4 OK");
    QCOMPARE(chinese.FindKeyword("\xD6\xD0\xCE\xC4", 4), 0);
    QCOMPARE(chinese.FindKeyword("ok", 2), 5);

    // Keywords appended in two parts, the second without a space in front:
    // "OKAY" glued to the end of the first part is one keyword, not OK.
    KeywordTokenizer parts;
    parts.AppendKeywords(" OK");
    parts.AppendKeywords("AY AT ");
    QCOMPARE(parts.FindKeyword("OKAY", 4), 0);
    QCOMPARE(parts.FindKeyword("OK", 2), -1);
    QCOMPARE(parts.FindKeyword("at", 2), 5);
}

void TestKeywordTokenizer::matchCase()
{
    KeywordTokenizer t;
    t.SetMatchCase(true);
    t.AppendKeywords(" OK at");
    Scan s = scan(t, "ok OK at AT");
    QCOMPARE(s.shown, QByteArray("ok OK at AT"));
    QCOMPARE(s.classes, QByteArray("...kk.kk..."));

    // Case ignored again after the keywords were kept as written: a word is
    // lower-cased for the look-up, so only lower-case keywords can match.
    t.SetMatchCase(false);
    s = scan(t, "ok OK at AT");
    QCOMPARE(s.shown, QByteArray("ok OK at at"));
    QCOMPARE(s.classes, QByteArray("......kk.kk"));
}

void TestKeywordTokenizer::commentWord()
{
    // The comment word acts only when the keyword list holds it: then the
    // rest of the line from the word on is a comment, in the list's spelling.
    KeywordTokenizer t = windowTokenizer();
    t.AppendKeywords(" REM");
    Scan s = scan(t, "AT rem OK 1");
    QCOMPARE(s.shown, QByteArray("AT REM OK 1"));
    QCOMPARE(s.classes, QByteArray("kk.cccccccc"));
    // As a part of a longer word it is no keyword.
    s = scan(t, "remark OK");
    QCOMPARE(s.classes, QByteArray(".......kk"));

    // Two comment characters: "//" starts a comment, a lone "/" does not.
    KeywordTokenizer slashes;
    slashes.SetCommentChars('/', '/');
    slashes.AppendKeywords(" OK");
    s = scan(slashes, "a/b OK // OK");
    QCOMPARE(s.classes, QByteArray("....kk.ccccc"));
}

// Configurations under which a literal reading of the rules never ends (a
// comment word of one letter that is also the first comment character, with
// a second comment character that does not follow) still end, with the word
// coloured as a keyword.
void TestKeywordTokenizer::hostileConfiguration()
{
    KeywordTokenizer t;
    t.SetCommentChars('r', 'x');
    t.SetCommentWord("r");
    t.AppendKeywords(" r");
    Scan s = scan(t, "r r rx");
    QCOMPARE(s.classes, QByteArray("k.k.cc"));

    KeywordTokenizer nul;
    nul.SetCommentChars(0, 0);
    nul.SetQuoteChars(QByteArray("\0\xD6", 2));
    nul.AppendKeywords(" OK");
    s = scan(nul, QByteArray("\0OK\xD6\xD0", 5));
    QCOMPARE(s.classes, QByteArray(".kk.."));
}

QTEST_MAIN(TestKeywordTokenizer)
#include "test_keywordtokenizer.moc"
