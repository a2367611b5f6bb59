// Ports on another computer over raw TCP (socket://HOST:PORT): addresses,
// bytes both ways, a server that refuses, serves another client or goes
// away, and the window opening such a port.
#include "dialogsupport.h"
#include "serial/networktransport.h"
#include "serial/serialsession.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

// A server on 127.0.0.1 that takes one client at a time.
struct Server
{
    QTcpServer server;
    QPointer<QTcpSocket> client;

    Server()
    {
        if (!server.listen(QHostAddress::LocalHost))
            qFatal("cannot listen");
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] { client = server.nextPendingConnection(); });
    }
    QString url() const { return QStringLiteral("socket://127.0.0.1:%1").arg(server.serverPort()); }
    QByteArray read(qsizetype n, int ms = 2000)
    {
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        while (got.size() < n && clock.elapsed() < ms) {
            QTest::qWait(5);
            if (client)
                got += client->readAll();
        }
        return got;
    }
};

SerialSettings Settings(const QString &name)
{
    SerialSettings s;
    s.portName = name;
    s.baudRate = 115200;
    return s;
}

QByteArray ReadAll(SerialSession &session, qsizetype n, int ms = 2000)
{
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < n && clock.elapsed() < ms) {
        QTest::qWait(5);
        char buffer[4096];
        qint64 k;
        while ((k = session.Read(buffer, sizeof buffer)) > 0)
            got.append(buffer, k);
    }
    return got;
}

} // namespace

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
        QCOMPARE(session.Open(Settings(s.url())), SerialSession::OpenResult::Opened);
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
        QCOMPARE(ReadAll(session, all.size()), all);
        QVERIFY(ready.count() > 0);
        QCOMPARE(session.Close(), 0);
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
        QCOMPARE(session.Open(Settings(QStringLiteral("socket://127.0.0.1:%1").arg(freePort))),
                 SerialSession::OpenResult::Failed);
        QVERIFY(clock.elapsed() < 2000);
        QVERIFY2(session.OpenFailure().Explanation().contains(QStringLiteral("refused the connection")),
                 qPrintable(session.OpenFailure().Explanation()));

        Server busy;
        QObject::connect(&busy.server, &QTcpServer::newConnection, &busy.server, [&busy] {
            busy.client->write("Port already in use\r\n");
            busy.client->disconnectFromHost();
        });
        QCOMPARE(session.Open(Settings(busy.url())), SerialSession::OpenResult::Failed);
        QCOMPARE(session.OpenFailure().cause, PortOpenFailure::Cause::InUse);
        QVERIFY2(session.OpenFailure().Explanation().contains(QStringLiteral("Port already in use")),
                 qPrintable(session.OpenFailure().Explanation()));

        QCOMPARE(session.Open(Settings(QStringLiteral("socket://no-such-host.invalid:4000"))),
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
        QCOMPARE(session.Open(Settings(s.url())), SerialSession::OpenResult::Opened);
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

    // Typed in the window's Port box: it opens, says the settings are the
    // server's, and a lost connection ends the session with a message.
    void fromTheWindow()
    {
        TerminalDialog::SetPortLister([] { return QStringList(); });
        Server s;
        SessionLog log;
        TerminalDialog d(log);
        d.SelectPort(s.url());
        FindControl<QPushButton>(d, "startStopButton")->click();
        QVERIFY(d.Session().isOpen());
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
    }
};

QTEST_MAIN(TestNetworkPort)
#include "test_networkport.moc"
