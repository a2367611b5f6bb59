// Ports on another computer over raw TCP (socket://HOST:PORT): addresses,
// bytes both ways, a server that refuses, serves another client or goes
// away, and the window opening such a port.
#include "dialogsupport.h"
#include "messageboxcatcher.h"
#include "serial/networktransport.h"
#include "serial/rfc2217transport.h"
#include "networksupport.h"
#include "rfc2217double.h"
#include "runner/commandrunner.h"
#include "serial/serialsession.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QRadioButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

class TestNetworkPort : public QObject
{
    Q_OBJECT

private slots:
    void addresses_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("says");
        QTest::newRow("raw") << "socket://bench-7:4001" << true << "bench-7" << 4001 << "";
        QTest::newRow("rfc2217") << "rfc2217://10.0.0.5:2217" << true << "10.0.0.5" << 2217 << "";
        QTest::newRow("ipv6") << "socket://[::1]:3000" << true << "::1" << 3000 << "";
        QTest::newRow("scheme case") << "SOCKET://h:1" << true << "h" << 1 << "";
        QTest::newRow("no port") << "socket://host" << false << "" << 0 << "no port number";
        QTest::newRow("port too big") << "socket://host:70000" << false << "" << 0 << "does not parse";
        QTest::newRow("no host") << "socket://:4000" << false << "" << 0 << "does not parse";
        QTest::newRow("path") << "rfc2217://host:4000/dev/ttyUSB0" << false << "" << 0 << "has a path";
        QTest::newRow("query") << "rfc2217://host:4000?ign_set_control" << false << "" << 0 << "more than";
        QTest::newRow("garbage") << "socket://%%%:1" << false << "" << 0 << "does not parse";
    }
    void addresses()
    {
        QFETCH(QString, name);
        QFETCH(bool, valid);
        NetworkPortAddress address;
        QString error;
        QVERIFY(NetworkPortAddress::IsNetworkName(name));
        QCOMPARE(NetworkPortAddress::Parse(name, &address, &error), valid);
        if (valid) {
            QTEST(address.host, "host");
            QTEST(int(address.port), "port");
        } else {
            QFETCH(QString, says);
            QVERIFY2(error.contains(says), qPrintable(error));
        }
    }

    // Every byte value, runs of 0xFF included, goes both ways as it is.
    void bytesBothWaysExact()
    {
        Server s;
        SerialSession session;
        QCOMPARE(session.Open(NetworkSettings(s.url())), SerialSession::OpenResult::Opened);
        QVERIFY(session.SetupNote().contains(QStringLiteral("raw TCP")));
        QCOMPARE(session.DevicePath(), s.url());
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        all += QByteArray(300, '\xFF');
        QCOMPARE(session.Write(all.constData(), all.size()), all.size());
        QCOMPARE(s.read(all.size()), all);
        QSignalSpy ready(&session, &SerialSession::ReceiveReady);
        s.client->write(all);
        QCOMPARE(ReadSession(session, all.size()), all);
        QVERIFY(ready.count() > 0);
        QCOMPARE(session.Close(), 0);
    }

    // A server passing a module's output on in small pieces close together
    // (as ser2net does) is read in batches, and nothing is held back: the
    // last piece of a stream comes soon though the connection stays open,
    // and a stream that ends with the connection comes whole before the
    // loss.
    void streamedPiecesComeWholeAndSoon()
    {
        constexpr int kPieces = 1500;
        const QByteArray piece = QByteArray("+CSQ: 17,99\r\nOK\r\n").repeated(4).left(64);
        const QByteArray tail("TAIL\r\n");
        QByteArray expected = piece.repeated(kPieces) + tail;

        int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(listener >= 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(::listen(listener, 1) == 0);
        QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        const QString url = QStringLiteral("socket://127.0.0.1:%1").arg(ntohs(address.sin_port));

        // Each piece sent on its own (no Nagle), a tenth of a millisecond
        // apart, once the port is open (what comes before, the open drops);
        // the tail's moment kept; the connection held until told.
        std::atomic<qint64> tailSentNs {0};
        std::atomic<int> go {0}; // 1: the port is open; 2: the second stream

        QElapsedTimer clock;
        clock.start();
        const auto stream = [&](int client) {
            for (int i = 0; i < kPieces; ++i) {
                if (::send(client, piece.constData(), size_t(piece.size()), MSG_NOSIGNAL) != piece.size())
                    return false;
                ::usleep(100);
            }
            return true;
        };
        std::thread server([&] {
            const int client = ::accept(listener, nullptr, nullptr);
            if (client < 0)
                return;
            const int one = 1;
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            while (go < 1)
                ::usleep(1000);
            // The tail's moment is kept before it goes: kept after, a thread
            // that loses the processor between the two would find the test
            // already done with the bytes.
            if (stream(client)) {
                tailSentNs = clock.nsecsElapsed();
                if (::send(client, tail.constData(), size_t(tail.size()), MSG_NOSIGNAL) != tail.size())
                    tailSentNs = -1;
            }
            while (go < 2)
                ::usleep(1000);
            stream(client);
            ::close(client);
        });
        const auto cleanUp = qScopeGuard([&] {
            go = 2;
            server.join();
            ::close(listener);
        });

        SerialSession session;
        QCOMPARE(session.Open(NetworkSettings(url)), SerialSession::OpenResult::Opened);
        QByteArray got;
        qint64 wholeAtNs = 0;
        int announcements = 0;
        // A plain event loop, as the window's: QTest::qWait sleeps between
        // its turns, and would batch the reads itself.
        QEventLoop loop;
        QObject::connect(&session, &SerialSession::ReceiveReady, &session, [&] {
            ++announcements;
            char buffer[4096];
            qint64 k;
            while ((k = session.Read(buffer, sizeof buffer)) > 0)
                got.append(buffer, k);
            if (got.size() >= expected.size() && wholeAtNs == 0) {
                wholeAtNs = clock.nsecsElapsed();
                loop.quit();
            }
        });
        QObject::connect(&session, &SerialSession::DeviceLost, &loop, &QEventLoop::quit);
        const auto progress = [&] {
            return QStringLiteral("%1 of %2 bytes, %3 announcements").arg(got.size()).arg(expected.size()).arg(announcements);
        };
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        go = 1;
        loop.exec();
        QVERIFY2(got.size() == expected.size(), qPrintable(progress()));
        QCOMPARE(got, expected);
        QVERIFY(tailSentNs > 0);
        // Held back a few milliseconds at most (not until the connection
        // ends); 500 leaves room for a slow build.
        QVERIFY2(wholeAtNs - tailSentNs < 500000000,
                 qPrintable(QStringLiteral("the tail came %1 ms late").arg((wholeAtNs - tailSentNs) / 1e6)));
        // Far fewer announcements than pieces.
        QVERIFY2(announcements < kPieces / 3, qPrintable(progress()));

        QSignalSpy lost(&session, &SerialSession::DeviceLost);
        expected += piece.repeated(kPieces);
        go = 2;
        QTRY_VERIFY2_WITH_TIMEOUT(lost.count() == 1, qPrintable(progress()), 10000);
        QCOMPARE(got, expected);
    }

    // Nobody listening, a server that closes a connection at once: told,
    // and soon.
    void refusedOrInUse()
    {
        quint16 freePort;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            freePort = probe.serverPort();
        }
        SerialSession session;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(session.Open(NetworkSettings(QStringLiteral("socket://127.0.0.1:%1").arg(freePort))),
                 SerialSession::OpenResult::Failed);
        QVERIFY(clock.elapsed() < 2000);
        QVERIFY2(session.OpenFailure().Explanation().contains(QStringLiteral("refused the connection")),
                 qPrintable(session.OpenFailure().Explanation()));

        Server busy;
        QObject::connect(&busy.server, &QTcpServer::newConnection, &busy.server, [&busy] {
            busy.client->write("Port already in use\r\n");
            busy.client->disconnectFromHost();
        });
        QCOMPARE(session.Open(NetworkSettings(busy.url())), SerialSession::OpenResult::Failed);
        QCOMPARE(session.OpenFailure().cause, PortOpenFailure::Cause::InUse);
        QVERIFY2(session.OpenFailure().Explanation().contains(QStringLiteral("Port already in use")),
                 qPrintable(session.OpenFailure().Explanation()));

        QCOMPARE(session.Open(NetworkSettings(QStringLiteral("socket://no-such-host.invalid:4000"))),
                 SerialSession::OpenResult::Failed);
        QVERIFY2(session.OpenFailure().Explanation().contains(QStringLiteral("no host")),
                 qPrintable(session.OpenFailure().Explanation()));
    }

    // The server going away is the device going away: what it sent before
    // is read first.
    void serverGoesAway()
    {
        Server s;
        SerialSession session;
        QCOMPARE(session.Open(NetworkSettings(s.url())), SerialSession::OpenResult::Opened);
        QTRY_VERIFY(s.client);
        QByteArray got;
        QObject::connect(&session, &SerialSession::ReceiveReady, &session, [&] {
            char buffer[64];
            qint64 k;
            while ((k = session.Read(buffer, sizeof buffer)) > 0)
                got.append(buffer, k);
        });
        QSignalSpy lost(&session, &SerialSession::DeviceLost);
        s.client->write("RDY\r\n");
        s.client->flush();
        s.client->disconnectFromHost();
        QTRY_COMPARE(lost.count(), 1);
        QCOMPARE(got, QByteArray("RDY\r\n"));
        QVERIFY(!session.IsOpen());
        QVERIFY(lost.at(0).at(0).toString().contains(QStringLiteral("closed the connection")));
    }

    // A setting answered with another value is refused, with what the
    // server set; a server that speaks no Telnet is told so.
    void rfc2217SettingsAndTelnet()
    {
        Rfc2217Double fussy;
        fussy.answerFor = [](quint8 command, const QByteArray &value) {
            return command == 1 ? QByteArray("\x00\x00\x25\x80", 4) : value; // 9600 baud
        };
        SerialSession session;
        QCOMPARE(session.Open(NetworkSettings(fussy.url())), SerialSession::OpenResult::SettingsRejected);
        QVERIFY2(session.LastError().contains(QStringLiteral("9600 baud for 115200")), qPrintable(session.LastError()));

        // An answer of the wrong length is no answer, and what was wrong
        // with it is told.
        Rfc2217Double sloppy;
        sloppy.answerFor = [](quint8 command, const QByteArray &value) {
            return command == 2 ? value + QByteArray(3, '\x01') : value; // a data size of four bytes
        };
        QCOMPARE(session.Open(NetworkSettings(sloppy.url())), SerialSession::OpenResult::SettingsRejected);
        QVERIFY2(session.LastError().contains(QStringLiteral("no answer to 8 data bits"))
                     && session.LastError().contains(QStringLiteral("does not allow")),
                 qPrintable(session.LastError()));

        Rfc2217Double plain;
        plain.speaksTelnet = false;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(session.Open(NetworkSettings(plain.url())), SerialSession::OpenResult::Failed);
        QVERIFY(clock.elapsed() < 4000);
        QVERIFY2(session.OpenFailure().Explanation().contains(QStringLiteral("does not speak Telnet")),
                 qPrintable(session.OpenFailure().Explanation()));
    }

    // The server's data with doubled 0xFF and notices among it, written a
    // byte at a time: the bytes read are exact.
    void rfc2217DataSplitAnywhere()
    {
        Rfc2217Double s;
        SerialSession session;
        QCOMPARE(session.Open(NetworkSettings(s.url())), SerialSession::OpenResult::Opened);
        QCOMPARE(session.SetupNote(), QString());
        const QByteArray wire = QByteArray("A\xFF\xFF" "B\xFF\xFA\x2C\x6B\xB0\xFF\xF0" "C\xFF\xFF\xFF\xFF" "\r\n", 18);
        for (char c : wire) {
            s.client->write(&c, 1);
            s.client->flush();
            QTest::qWait(2);
        }
        QCOMPARE(ReadSession(session, 8), QByteArray("A\xFF" "BC\xFF\xFF\r\n"));
        // And ours: every 0xFF doubled on the way out.
        s.pending.clear();
        QObject::disconnect(s.client, nullptr, nullptr, nullptr);
        QCOMPARE(session.Write("\xFF" "x\xFF", 3), 3);
        QCOMPARE(s.read(5), QByteArray("\xFF\xFF" "x\xFF\xFF"));
        session.Close();
    }

    // A run's DTR pulse before its first command, a row's break and its
    // paced frame, as the server sees them (SET-CONTROL 9/8 DTR off/on,
    // 5/6 break on/off), in order and for their lengths.
    void runnerLineWorkOverRfc2217()
    {
        Rfc2217Double s;
        struct Seen
        {
            QByteArray what;
            qint64 atMs;
        };
        QList<Seen> seen;
        QElapsedTimer clock;
        clock.start();
        s.answerFor = [&](quint8 command, const QByteArray &value) {
            if (command == 5 && value.size() == 1)
                seen.append({"control " + QByteArray::number(quint8(value[0])), clock.elapsed()});
            return value;
        };
        QByteArray heard;
        s.onData = [&](const QByteArray &data) {
            for (char c : data)
                seen.append({QByteArray(1, c), clock.elapsed()});
            heard += data;
            if (heard.endsWith("AT\r"))
                s.client->write("\r\nOK\r\n");
        };
        SerialSession session;
        SerialSettings settings = NetworkSettings(s.url());
        settings.dtrHandshake = true;
        QCOMPARE(session.Open(settings), SerialSession::OpenResult::Opened);
        seen.clear();
        CommandRunner::Options options;
        options.pulseDtrMs = 150;
        options.dtrOn = true;
        CommandRunner run(session, {"AT"}, options);
        CommandCheck check;
        check.commandNumber = 1;
        check.breakMs = 80;
        check.charDelayMs = 20;
        run.SetChecks({{0, check}});
        QSignalSpy finished(&run, &CommandRunner::Finished);
        run.Start();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
        QCOMPARE(finished[0][0].toInt(), 0);
        QList<QByteArray> order;
        for (const Seen &x : seen)
            order << x.what;
        QCOMPARE(order, (QList<QByteArray> {"control 9", "control 8", "control 5", "control 6", "A", "T", "\r"}));
        QVERIFY2(seen[1].atMs - seen[0].atMs >= 145, qPrintable(QString::number(seen[1].atMs - seen[0].atMs)));
        QVERIFY2(seen[3].atMs - seen[2].atMs >= 75, qPrintable(QString::number(seen[3].atMs - seen[2].atMs)));
        QVERIFY(seen[4].atMs >= seen[3].atMs);
        QVERIFY2(seen[6].atMs - seen[4].atMs >= 35, qPrintable(QString::number(seen[6].atMs - seen[4].atMs)));
        QCOMPARE(run.Report().transactions.at(0).outcome, Transaction::Outcome::Passed);
        session.Close();
    }

    // The server's modem state notices become the session's status lines
    // (a ring counted where it ends, also one too short to be seen on);
    // DTR, RTS and a break reach the server as SET-CONTROL, the break's end
    // after its time.
    void rfc2217ModemLinesAndBreak()
    {
        Rfc2217Double s;
        struct Request
        {
            quint8 command;
            QByteArray value;
            qint64 atMs;
        };
        QList<Request> requests;
        QElapsedTimer clock;
        clock.start();
        s.answerFor = [&](quint8 command, const QByteArray &value) {
            requests.append({command, value, clock.elapsed()});
            return value;
        };
        const auto asked = [&](quint8 command, const QByteArray &value) {
            for (const Request &r : requests)
                if (r.command == command && r.value == value)
                    return r.atMs;
            return qint64(-1);
        };
        SerialSession session;
        QVERIFY(!session.SendBreak(100));
        QCOMPARE(session.Open(NetworkSettings(s.url())), SerialSession::OpenResult::Opened);
        QVERIFY(session.ReportsModemLines());
        // Every line and its changes asked for (SET-MODEMSTATE-MASK 255, its
        // 0xFF doubled on the wire).
        QVERIFY(asked(11, QByteArray("\xFF\xFF")) >= 0);

        QSignalSpy changed(&session, &SerialSession::ModemLinesChanged);
        const auto notify = [&](quint8 bits) {
            s.client->write(QByteArray("\xFF\xFA\x2C\x6B", 4) + char(bits) + QByteArray("\xFF\xF0"));
            s.client->flush();
        };
        notify(0xB0); // CTS, DSR, DCD
        QTRY_COMPARE(changed.size(), 1);
        SerialSession::ModemLines lines = session.GetModemLines();
        QVERIFY(lines.cts && lines.dsr && lines.dcd && !lines.ri);
        notify(0xF0); // RI on
        QTRY_COMPARE(changed.size(), 2);
        QVERIFY(session.GetModemLines().ri);
        QCOMPARE(session.GetModemLines().rings, 0u);
        notify(0xB4); // RI off, the ring's end
        QTRY_COMPARE(changed.size(), 3);
        QCOMPARE(session.GetModemLines().rings, 1u);
        notify(0xB4); // a ring that ended before RI was seen on
        QTRY_COMPARE(changed.size(), 4);
        QCOMPARE(session.GetModemLines().rings, 2u);
        notify(0xB0); // nothing changed: not told
        notify(0x30); // DCD off
        QTRY_COMPARE(changed.size(), 5);
        QVERIFY(!session.GetModemLines().dcd);

        session.SetDtr(false);
        session.SetRts(true);
        QTRY_VERIFY(asked(5, "\x09") >= 0 && asked(5, "\x0B") >= 0);
        const qint64 before = clock.elapsed();
        QVERIFY(session.SendBreak(150));
        QTRY_VERIFY(asked(5, "\x06") >= 0);
        const qint64 on = asked(5, "\x05");
        QVERIFY(on >= before);
        QVERIFY2(asked(5, "\x06") - on >= 140, qPrintable(QString::number(asked(5, "\x06") - on)));
        session.Close();
        QVERIFY(!session.ReportsModemLines());
    }

    // Typed in the window's Port box: it opens in the background (Stop
    // shows meanwhile), then says the settings are the server's.
    void fromTheWindow()
    {
        TerminalDialog::SetPortLister([] { return QStringList(); });
        Server s;
        SessionLog log;
        TerminalDialog d(log);
        d.SelectPort(s.url());
        auto *startStop = FindControl<QPushButton>(d, "startStopButton");
        startStop->click();
        QVERIFY(d.Session().isConnecting());
        QCOMPARE(startStop->text(), QStringLiteral("Stop"));
        QVERIFY(FindControl<QStatusBar>(d, "statusBar")->currentMessage().startsWith(QStringLiteral("Connecting to ")));
        QTRY_VERIFY(d.Session().isOpen());
        QVERIFY(FindControl<QStatusBar>(d, "statusBar")->currentMessage().contains(QStringLiteral("raw TCP")));
        FindControl<QLineEdit>(d, "commandEdit")->setText(QStringLiteral("AT"));
        FindControl<QRadioButton>(d, "endCrRadio")->setChecked(true);
        FindControl<QPushButton>(d, "sendButton")->click();
        QTRY_VERIFY(s.client);
        QCOMPARE(s.read(3), QByteArray("AT\r"));
        s.client->write("AT\r\r\nOK\r\n");
        QTRY_VERIFY(log.Text().contains("OK\r\n"));
        FindControl<QPushButton>(d, "startStopButton")->click();
        QVERIFY(!d.Session().isOpen());
        // The address stays in the list for this run, before the simulated
        // module, and is still there when the list is made again.
        auto *box = FindControl<QComboBox>(d, "portList");
        d.ListPorts();
        const int at = box->findText(s.url());
        QVERIFY(at >= TerminalDialog::kComPortCount);
        QCOMPARE(box->itemText(at + 1), TerminalDialog::kSimulatedPortName);
    }

    // A server that takes the connection and never answers holds the open
    // for its bound; the window takes input meanwhile, Send says why nothing
    // goes, and Stop cancels: no port, no message, nothing later.
    void stopCancelsAnOpenUnderWay()
    {
        TerminalDialog::SetPortLister([] { return QStringList(); });
        Rfc2217Double silent;
        silent.speaksTelnet = false;
        QObject::disconnect(&silent.server, nullptr, nullptr, nullptr);
        QObject::connect(&silent.server, &QTcpServer::newConnection, &silent.server,
                         [&silent] { silent.client = silent.server.nextPendingConnection(); });
        MessageBoxCatcher boxes;
        SessionLog log;
        TerminalDialog d(log);
        d.SelectPort(silent.url());
        auto *startStop = FindControl<QPushButton>(d, "startStopButton");
        startStop->click();
        QTRY_VERIFY(silent.client);
        QTest::qWait(300);
        QVERIFY(d.Session().isConnecting());
        FindControl<QLineEdit>(d, "commandEdit")->setText(QStringLiteral("AT"));
        FindControl<QPushButton>(d, "sendButton")->click();
        QVERIFY2(FindControl<QStatusBar>(d, "statusBar")->currentMessage().contains(QStringLiteral("still connecting")),
                 qPrintable(FindControl<QStatusBar>(d, "statusBar")->currentMessage()));
        startStop->click();
        QVERIFY(!d.Session().isConnecting());
        QCOMPARE(startStop->text(), QStringLiteral("Start"));
        QTRY_VERIFY(!silent.client || silent.client->state() != QAbstractSocket::ConnectedState);
        QTest::qWait(Rfc2217Transport::kNegotiationMs + 500); // past the negotiation's bound
        QVERIFY(!d.Session().isOpen());
        QCOMPARE(boxes.texts, QStringList());
        QCOMPARE(startStop->text(), QStringLiteral("Start"));
    }
};

QTEST_MAIN(TestNetworkPort)
#include "test_networkport.moc"
