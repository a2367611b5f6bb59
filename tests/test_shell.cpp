// Tests of the Help text and the web panel's link: the DES cipher against
// published known answers, the rules of deciphering the stored link, and the
// panel being told the address once at start.

#include "dialogsupport.h"
#include "messageboxcatcher.h"
#include "shell/helptext.h"
#include "shell/linkcipher.h"
#include "shell/reachability.h"
#include "shell/webpanel.h"
#include "spillfiles.h"

#include <QSignalSpy>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <array>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

    // A log that cannot keep its older part on disk: the window says so
    // once, and the log keeps every byte.
    void logStoreFailureSaidOnce()
    {
        SessionLog log;
        TerminalDialog d(log);
        qputenv("TMPDIR", "/proc/qrv-no-such-folder");
        auto unset = qScopeGuard([] { qunsetenv("TMPDIR"); });
        log.setMemoryLimit(0);
        MessageBoxCatcher boxes;
        QByteArray all;
        for (int i = 0; i < 3000; ++i) {
            const QByteArray line = "+CSQ: " + QByteArray::number(i) + ",99\r\n" + QByteArray(400, 'x');
            log.Append(line);
            all += line;
        }
        QTRY_COMPARE(boxes.texts.size(), 1);
        QVERIFY(boxes.texts.first().contains(QLatin1String("/proc/qrv-no-such-folder")));
        QVERIFY(boxes.texts.first().contains(QLatin1String("nothing is lost")));
        QTest::qWait(100);
        QCOMPARE(boxes.texts.size(), 1);
        QCOMPARE(log.Text(), all);
    }

    // A log whose file lost its older part (an I/O error on the disk of
    // TMPDIR): Save fails and says why, and leaves the chosen file as it
    // was, or not there.
    void unreadableLogNotSaved()
    {
        QTemporaryDir tmp;
        QTemporaryDir saveTo;
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        auto unset = qScopeGuard([] { qunsetenv("TMPDIR"); });
        SessionLog log;
        TerminalDialog d(log);
        log.setMemoryLimit(SessionLog::kBlockSize);
        for (int i = 0; i < 12000; ++i)
            log.Append("+CSQ: " + QByteArray::number(i) + ",99\r\n" + QByteArray(400, 'x'));
        d.RefreshReceiveView(true);
        QVERIFY(log.storedBytes() > 16 * SessionLog::kBlockSize);
        QVERIFY(TruncateSpillFiles(tmp.path(), 0) >= 1);

        MessageBoxCatcher boxes(QMessageBox::Yes);
        const QString path = saveTo.path() + QStringLiteral("/session.txt");
        QVERIFY(!d.SaveLogTo(path));
        QVERIFY(!QFile::exists(path));
        QCOMPARE(QDir(saveTo.path()).entryList(QDir::Files | QDir::Hidden).size(), 0);
        QVERIFY(!d.SaveLogTo(path, true));
        QVERIFY(!QFile::exists(path));

        // A file already there stays as it was.
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("before\r\n");
        old.close();
        QVERIFY(!d.SaveLogTo(path));
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("before\r\n"));
        QCOMPARE(QDir(saveTo.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
        // Each save says why it failed; the window says once that part of
        // the log is lost, however often it is read.
        QTRY_COMPARE(boxes.texts.filter(QLatin1String("cannot be read back")).size(), 1);
        const QStringList saves = boxes.texts.filter(QLatin1String("save failed"));
        QCOMPARE(saves.size(), 3);
        for (const QString &text : saves)
            QVERIFY2(text.contains(tmp.path()), qPrintable(text));
        d.RefreshReceiveView(false);
        QTest::qWait(100);
        QCOMPARE(boxes.texts.filter(QLatin1String("cannot be read back")).size(), 1);
    }

    // Whether the maker's page can be reached: told apart, and only the
    // latest check's answer counts.
    void reachabilityCheck()
    {
        // A port that listens (the connection is accepted by the kernel) and
        // one that no longer does.
        auto listening = [](bool keep, int *fd) {
            *fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in sa {};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof sa;
            ::bind(*fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
            ::listen(*fd, 4);
            ::getsockname(*fd, reinterpret_cast<sockaddr *>(&sa), &length);
            if (!keep)
                ::close(*fd);
            return QUrl(QStringLiteral("http://127.0.0.1:%1/page").arg(ntohs(sa.sin_port)));
        };
        int open = -1, closed = -1;
        const QUrl there = listening(true, &open);
        const QUrl gone = listening(false, &closed);
        auto closeOpen = qScopeGuard([open] { ::close(open); });

        QString detail;
        QCOMPARE(ReachabilityCheck::Probe(there, 2000, &detail), ReachabilityCheck::Reachable);
        QCOMPARE(ReachabilityCheck::Probe(gone, 2000, &detail), ReachabilityCheck::NoAnswer);
        QVERIFY(!detail.isEmpty());
        QVERIFY(ReachabilityCheck::Describe(ReachabilityCheck::NoAnswer, detail).contains(detail));
        QCOMPARE(ReachabilityCheck::Probe(QUrl(QStringLiteral("http://qrv-shell-test.invalid/")), 4000, &detail),
                 ReachabilityCheck::NotResolved);
        QCOMPARE(ReachabilityCheck::Probe(QUrl(QStringLiteral("file:///etc/passwd")), 2000, &detail),
                 ReachabilityCheck::NotWebAddress);
        QCOMPARE(ReachabilityCheck::Probe(QUrl(QStringLiteral("http:///x")), 2000, &detail),
                 ReachabilityCheck::NotWebAddress);

        // Started again at once: the first check's answer is dropped.
        ReachabilityCheck check;
        QSignalSpy finished(&check, &ReachabilityCheck::finished);
        check.start(gone);
        check.start(there);
        QVERIFY(check.isRunning());
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().value<ReachabilityCheck::Outcome>(), ReachabilityCheck::Reachable);
        QTest::qWait(200);
        QCOMPARE(finished.size(), 1);
        QVERIFY(!check.isRunning());

        // Destroyed while its thread runs: the answer goes nowhere.
        auto *dropped = new ReachabilityCheck;
        dropped->start(QUrl(QStringLiteral("http://qrv-shell-test.invalid/")));
        delete dropped;
        QTest::qWait(300);
    }
};

QTEST_MAIN(TestShell)
#include "test_shell.moc"
