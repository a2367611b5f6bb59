// Tests of the Help text and the web panel's link: the DES cipher against
// published known answers, the rules of deciphering the stored link, and the
// panel being told the address once at start.

#include "dialogsupport.h"
#include "messageboxcatcher.h"
#include "shell/helptext.h"
#include "shell/linkcipher.h"
#include "shell/webpanel.h"

#include <QStringEncoder>
#include <QTest>
#include <array>
#include <cstring>

namespace {

Des::Block Bytes(quint64 v)
{
    Des::Block b{};
    for (int i = 7; i >= 0; --i, v >>= 8)
        b[std::size_t(i)] = std::uint8_t(v);
    return b;
}

constexpr char kKey[9] = "Qrv#1.02";

struct Deciphered
{
    bool ok = false;
    std::array<char, 512> buffer{};
    QByteArray Text() const { return QByteArray(buffer.data()); }
    bool Untouched() const
    {
        return std::all_of(buffer.begin(), buffer.end(), [](char c) { return c == 0; });
    }
};

Deciphered Decipher(const QByteArray &text, qsizetype capacity = 511)
{
    Deciphered d;
    d.ok = LinkCipher(kKey).DecipherLink(text, d.buffer.data(), capacity);
    return d;
}

} // namespace

class TestShell : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TerminalDialog::SetPortLister([] { return QStringList(); }); }

    void desKnownAnswers_data()
    {
        QTest::addColumn<quint64>("key");
        QTest::addColumn<quint64>("plain");
        QTest::addColumn<quint64>("cipher");
        // FIPS 81's ECB example ("Now is the time for all "), the classic
        // worked example, and NBS SP 500-20 variable-plaintext and
        // variable-key entries.
        QTest::newRow("FIPS 81 block 1") << 0x0123456789ABCDEFull << 0x4E6F772069732074ull << 0x3FA40E8A984D4815ull;
        QTest::newRow("FIPS 81 block 2") << 0x0123456789ABCDEFull << 0x68652074696D6520ull << 0x6A271787AB8883F9ull;
        QTest::newRow("FIPS 81 block 3") << 0x0123456789ABCDEFull << 0x666F7220616C6C20ull << 0x893D51EC4B563B53ull;
        QTest::newRow("worked example") << 0x133457799BBCDFF1ull << 0x0123456789ABCDEFull << 0x85E813540F0AB405ull;
        QTest::newRow("SP 500-20 plaintext") << 0x0101010101010101ull << 0x8000000000000000ull << 0x95F8A5E5DD31D900ull;
        QTest::newRow("SP 500-20 key") << 0x8001010101010101ull << 0x0000000000000000ull << 0x95A8D72813DAA94Dull;
    }
    void desKnownAnswers()
    {
        QFETCH(quint64, key);
        QFETCH(quint64, plain);
        QFETCH(quint64, cipher);
        const Des::Block k = Bytes(key);
        QCOMPARE(Des::Encrypt(k, Bytes(plain)), Bytes(cipher));
        QCOMPARE(Des::Decrypt(k, Bytes(cipher)), Bytes(plain));
        // Parity bits (the lowest of each key byte) do not matter.
        Des::Block flipped = k;
        for (auto &b : flipped)
            b ^= 1;
        QCOMPARE(Des::Encrypt(flipped, Bytes(plain)), Bytes(cipher));
    }

    void storedLinkDeciphers()
    {
        const Deciphered d = Decipher(QByteArray(TerminalDialog::kStoredLink));
        QVERIFY(d.ok);
        QCOMPARE(d.Text(), QByteArray("http://www.example.com/qrv/"));
        QCOMPARE(std::strlen(TerminalDialog::kLinkKey), size_t(8));
        QCOMPARE(QByteArray(TerminalDialog::kStoredLink).size() % 16, 0);
    }

    void decipherRules()
    {
        const Des::Key key = {'Q', 'r', 'v', '#', '1', '.', '0', '2'};
        // Rejected: empty, a lower-case letter, a digit, 17 letters.
        const QByteArray good = LinkLetters(key, QByteArray("ABCDEFGH"));
        for (const QByteArray &bad : {QByteArray(), QByteArray(good).replace(3, 1, "a"),
                                      QByteArray(good).replace(5, 1, "7"), good + "A"}) {
            const Deciphered d = Decipher(bad);
            QVERIFY(!d.ok);
            QVERIFY(d.Untouched());
        }
        // Eight non-zero bytes: exactly those, not ended by the operation.
        Deciphered d = Decipher(good);
        QVERIFY(!d.ok);
        QCOMPARE(d.Text(), QByteArray("ABCDEFGH"));
        // A zero first in a group ends the address there.
        d = Decipher(LinkLetters(key, QByteArray("12345678") + QByteArray("\0xxxxxxx", 8) + "yyyyyyyy"));
        QVERIFY(d.ok);
        QCOMPARE(d.Text(), QByteArray("12345678"));
        // The first letter of a pair counts modulo 16 (Q is A again), and a
        // second letter beyond P carries into the high half (AQ is BA).
        const QByteArray link(TerminalDialog::kStoredLink);
        const qsizetype pair = link.indexOf("BM") % 2 == 0 ? link.indexOf("BM") : -1;
        QVERIFY(pair >= 0);
        QCOMPARE(Decipher(QByteArray(link).replace(pair, 2, "RM")).Text(), Decipher(link).Text());
        // A pair with an odd high half h and a low half up to 9 reads the
        // same as (h - 1) with the low half plus 16: the excess bit is OR-ed
        // into the high half.
        QByteArray carried = link;
        qsizetype at = -1;
        for (qsizetype i = 0; i < link.size() && at < 0; i += 2)
            if ((link[i] - 'A') % 2 == 1 && link[i + 1] <= 'J')
                at = i;
        QVERIFY(at >= 0);
        carried[at] = char(carried[at] - 1);
        carried[at + 1] = char(carried[at + 1] + 16);
        QCOMPARE(Decipher(carried).Text(), Decipher(link).Text());
        // Never past the room given: a group that does not fit is not read.
        d = Decipher(good + good, 12);
        QVERIFY(!d.ok);
        QCOMPARE(d.Text(), QByteArray("ABCDEFGH"));
    }

    void helpText()
    {
        QStringEncoder gbk("GBK");
        const QByteArray bytes = gbk.encode(HelpText());
        QCOMPARE(bytes.size(), 476);
        const QList<QByteArray> lines = bytes.split('\n');
        QCOMPARE(lines.size(), 14);
        QVERIFY(!bytes.endsWith('\n'));
        QVERIFY(lines[7].endsWith(" \r") && lines[10].endsWith(" \r") && lines[6].contains("AT  --"));
        QCOMPARE(HelpCaption(), QStringLiteral("QRV无线模块调试工具"));

        SessionLog log;
        TerminalDialog d(log);
        MessageBoxCatcher boxes;
        FindControl<QPushButton>(d, "helpButton")->click();
        QCOMPARE(boxes.texts, QStringList({HelpText()}));
    }

    void panelToldOnceAtStart()
    {
        SessionLog log;
        TerminalDialog d(log);
        auto *panel = FindControl<WebPanel>(d, "webPanel");
        QCOMPARE(panel->NavigateCount(), 1);
        QCOMPARE(panel->Address(), QStringLiteral("http://www.example.com/qrv/"));
        // Nothing the window does later navigates it again.
        FindControl<QPushButton>(d, "clearButton")->click();
        d.RefreshReceiveView(true);
        QCOMPARE(panel->NavigateCount(), 1);
    }
};

QTEST_MAIN(TestShell)
#include "test_shell.moc"
