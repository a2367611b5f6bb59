// Ports on another computer through a real ser2net on 127.0.0.1, in front of
// a pty the test plays or of the simulated module: bytes both ways exact, the
// example set run by qrvterm-run, and the server going away.
#include "ptypair.h"
#include "ser2net.h"
#include "networksupport.h"
#include "serial/serialsession.h"
#include "session/terminalsession.h"
#include "sim/simport.h"

#include <QProcess>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <QSignalSpy>
#include <QTest>

namespace {

QByteArray AllByteValues()
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    return all + QByteArray(64, '\xFF') + "\xFF\x00\xFF\xFF\r\n" + QByteArray(3, '\xFF');
}

} // namespace

class TestSer2net : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (Ser2net::Program().isEmpty())
            QSKIP("ser2net is not installed (tools/bootstrap.sh test installs it)");
    }

    void bytesBothWaysExact_data()
    {
        QTest::addColumn<bool>("rfc2217");
        QTest::newRow("raw") << false;
        QTest::newRow("rfc2217") << true;
    }
    void bytesBothWaysExact()
    {
        QFETCH(bool, rfc2217);
        PtyPair pty;
        Ser2net server;
        QVERIFY2(server.start(pty.slavePath()), qPrintable(server.output()));
        SerialSession session;
        const auto opened = session.Open(NetworkSettings(rfc2217 ? server.rfc2217Url() : server.rawUrl()));
        QVERIFY2(opened == SerialSession::OpenResult::Opened, qPrintable(session.OpenFailure().Explanation()));
        const QByteArray all = AllByteValues();
        QCOMPARE(session.Write(all.constData(), all.size()), all.size());
        QCOMPARE(pty.read(int(all.size()), 3000), all);
        QVERIFY(pty.write(all));
        QCOMPARE(ReadSession(session, all.size()), all);
        session.Close();
    }

    // qrvterm-run over ser2net's raw port runs the example set on the
    // simulated module as it does on the module's own device.
    void exampleSetThroughServer_data() { bytesBothWaysExact_data(); }
    void exampleSetThroughServer()
    {
        QFETCH(bool, rfc2217);
        SimPort module;
        QString error;
        QVERIFY2(module.start(&error), qPrintable(error));
        module.setLineRate(115200);
        Ser2net server;
        QVERIFY2(server.start(module.devicePath()), qPrintable(server.output()));
        QTemporaryDir work;
        QProcess run;
        run.setWorkingDirectory(work.path());
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.start(QStringLiteral(QRV_RUNNER_PATH),
                  {QStringLiteral("--port"), rfc2217 ? server.rfc2217Url() : server.rawUrl(), QStringLiteral("--speed"),
                   QStringLiteral("115200"),
                   QStringLiteral("example")});
        QTRY_VERIFY_WITH_TIMEOUT(run.state() == QProcess::NotRunning, 20000);
        const QString out = QString::fromUtf8(run.readAll());
        QVERIFY2(run.exitCode() == 0, qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("6 commands: 6 passed")), qPrintable(out));
    }

    // The module's own reset behind the server: ser2net drops the
    // connection with the line, the runner waits for the same address, and
    // the run goes on with the module's boot messages.
    void resetThroughServer()
    {
        QTemporaryDir work;
        SimPort module;
        module.setLinkPath(work.filePath(QStringLiteral("module")));
        QString error;
        QVERIFY2(module.start(&error), qPrintable(error));
        Ser2net server;
        QVERIFY2(server.start(module.linkPath()), qPrintable(server.output()));
        QFile set(work.filePath(QStringLiteral("reset.ini")));
        QVERIFY(set.open(QIODevice::WriteOnly));
        set.write("[reset]\r\ncmdnum=3\r\ncmd1=AT\r\ncmd2=AT+CFUN=1,1\r\ncmd3=AT+CPIN?\r\n");
        set.close();
        QProcess run;
        run.setWorkingDirectory(work.path());
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.start(QStringLiteral(QRV_RUNNER_PATH), {QStringLiteral("--port"), server.rfc2217Url(), QStringLiteral("--speed"),
                                                    QStringLiteral("115200"), QStringLiteral("--reconnect"),
                                                    QStringLiteral("10"), set.fileName()});
        QTRY_VERIFY_WITH_TIMEOUT(run.state() == QProcess::NotRunning, 30000);
        const QString out = QString::fromUtf8(run.readAll());
        QVERIFY2(run.exitCode() == 0, qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("port back")) && out.contains(QStringLiteral("RDY"))
                     && out.contains(QStringLiteral("3 commands: 3 passed")),
                 qPrintable(out));
    }

    // A rack over several servers: the ports listed in a file, comments and
    // blank lines among them, each module run as on its own device.
    void portFileAcrossServers()
    {
        SimPort first, second;
        QString error;
        QVERIFY2(first.start(&error) && second.start(&error), qPrintable(error));
        Ser2net a, b;
        QVERIFY2(a.start(first.devicePath()), qPrintable(a.output()));
        QVERIFY2(b.start(second.devicePath()), qPrintable(b.output()));
        QTemporaryDir work;
        QFile list(work.filePath(QStringLiteral("rack.txt")));
        QVERIFY(list.open(QIODevice::WriteOnly));
        list.write(QStringLiteral("# bench A, chamber 2\r\n%1\r\n\r\n   %2  \n").arg(a.rfc2217Url(), b.rawUrl()).toUtf8());
        list.close();
        QProcess run;
        run.setWorkingDirectory(work.path());
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.start(QStringLiteral(QRV_RUNNER_PATH),
                  {QStringLiteral("--port-file"), list.fileName(), QStringLiteral("--speed"), QStringLiteral("115200"),
                   QStringLiteral("example")});
        QTRY_VERIFY_WITH_TIMEOUT(run.state() == QProcess::NotRunning, 20000);
        const QString out = QString::fromUtf8(run.readAll());
        QVERIFY2(run.exitCode() == 0, qPrintable(out));
        QCOMPARE(out.count(QStringLiteral("6 commands: 6 passed")), 2);
        QVERIFY2(out.contains(a.rfc2217Url()) && out.contains(b.rawUrl()), qPrintable(out));

        // A list that names nothing is a usage error, told.
        QVERIFY(list.open(QIODevice::WriteOnly | QIODevice::Truncate));
        list.write("# nothing yet\n\n");
        list.close();
        run.start(QStringLiteral(QRV_RUNNER_PATH), {QStringLiteral("--port-file"), list.fileName(), QStringLiteral("example")});
        QTRY_VERIFY_WITH_TIMEOUT(run.state() == QProcess::NotRunning, 20000);
        QCOMPARE(run.exitCode(), 2);
        QVERIFY(QString::fromUtf8(run.readAll()).contains(QStringLiteral("names no port")));
    }

    // The line settings chosen reach the remote port (read back from the
    // pty behind the server); one the server does not take is refused as a
    // local device's would be; control lines a pty does not have are not
    // confirmed, and the open goes on after a short wait.
    void settingsReachTheRemotePort()
    {
        PtyPair pty;
        Ser2net server;
        QVERIFY2(server.start(pty.slavePath()), qPrintable(server.output()));
        SerialSession session;
        SerialSettings s = NetworkSettings(server.rfc2217Url());
        s.baudRate = 9600;
        s.dataBits = 7;
        s.parity = SerialSettings::Parity::Even;
        s.stopBits = SerialSettings::StopBits::Two;
        QCOMPARE(session.Open(s), SerialSession::OpenResult::Opened);
        QCOMPARE(session.SetupNote(), QString());
        const int fd = ::open(QFile::encodeName(pty.slavePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        termios t {};
        QCOMPARE(::tcgetattr(fd, &t), 0);
        ::close(fd);
        // Linux keeps a pty at 8 bits without parity whatever is asked, so
        // the pty shows the speed and the stop bits; the data bits and the
        // parity are the server's answers, which the open compared (another
        // value would have refused it).
        QCOMPARE(cfgetospeed(&t), speed_t(B9600));
        QVERIFY(t.c_cflag & CSTOPB);
        session.Close();

        s.stopBits = SerialSettings::StopBits::OnePointFive;
        QCOMPARE(session.Open(s), SerialSession::OpenResult::SettingsRejected);
        QVERIFY2(session.LastError().contains(QStringLiteral("1.5 stop bits")), qPrintable(session.LastError()));

        s.stopBits = SerialSettings::StopBits::One;
        s.rtsHandshake = s.dtrHandshake = true;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(session.Open(s), SerialSession::OpenResult::Opened);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(session.SetupNote().contains(QStringLiteral("did not confirm RTS, DTR")), qPrintable(session.SetupNote()));
        session.Close();
    }

    // The server killed is the device lost; what it passed on before is read.
    void serverKilledIsLost()
    {
        PtyPair pty;
        Ser2net server;
        QVERIFY2(server.start(pty.slavePath()), qPrintable(server.output()));
        SerialSession session;
        QCOMPARE(session.Open(NetworkSettings(server.rawUrl())), SerialSession::OpenResult::Opened);
        QSignalSpy lost(&session, &SerialSession::DeviceLost);
        QVERIFY(pty.write("RDY\r\n"));
        QCOMPARE(ReadSession(session, 5), QByteArray("RDY\r\n"));
        server.stop();
        QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, 3000);
        QVERIFY(!session.IsOpen());
    }

    // With reconnect on, a server restart is a lost/back pair in the log, as
    // a module that resets is; the session then goes on.
    void serverRestartIsLostAndBack()
    {
        PtyPair pty;
        Ser2net server;
        QVERIFY2(server.start(pty.slavePath()), qPrintable(server.output()));
        SessionLog log;
        TerminalSession session(log);
        QSignalSpy waiting(&session, &TerminalSession::waitingForDevice);
        QSignalSpy back(&session, &TerminalSession::deviceBack);
        QCOMPARE(session.Open(NetworkSettings(server.rawUrl())), SerialSession::OpenResult::Opened);
        server.stop();
        QTRY_COMPARE_WITH_TIMEOUT(waiting.count(), 1, 3000);
        QVERIFY(session.isWaiting());
        QVERIFY(log.Text().contains(" lost "));
        QTest::qWait(1500); // refused meanwhile: still waiting
        QVERIFY(session.isWaiting());
        QVERIFY(server.restart());
        QTRY_COMPARE_WITH_TIMEOUT(back.count(), 1, 5000);
        QVERIFY(log.Text().contains(" back "));
        QVERIFY(session.isOpen());
        QVERIFY(pty.write("+CPIN: READY\r\n"));
        QTRY_VERIFY(log.Text().endsWith("+CPIN: READY\r\n"));
        session.Close();
    }
};

QTEST_MAIN(TestSer2net)
#include "test_ser2net.moc"
