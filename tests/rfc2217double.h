#pragma once

// Servers on 127.0.0.1 for the network-port tests and benchmarks: a plain
// one, and an RFC 2217 server of the tests' own.

#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <functional>

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

// A small RFC 2217 server of the test's own, for what ser2net cannot be
// made to do: it agrees to the options, answers each setting with what
// answerFor gives (the value asked, by default), or speaks no Telnet.
struct Rfc2217Double : Server
{
    bool speaksTelnet = true;
    std::function<QByteArray(quint8 command, const QByteArray &value)> answerFor = [](quint8, const QByteArray &v) {
        return v;
    };
    QByteArray pending;
    // Given the bytes of the port's data (outside Telnet commands).
    std::function<void(const QByteArray &data)> onData;

    Rfc2217Double()
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            QObject::connect(client, &QTcpSocket::readyRead, client, [this] { take(); });
            if (!speaksTelnet)
                client->write("hello, this is no telnet\r\n");
        });
    }
    QString url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.serverPort()); }
    void take()
    {
        pending += client->readAll();
        if (!speaksTelnet)
            return;
        for (;;) {
            qsizetype iac = pending.indexOf('\xFF');
            // Data before a command (data holding 0xFF is not expected here).
            if (onData && iac != 0)
                onData(pending.first(iac < 0 ? pending.size() : iac));
            if (iac < 0) {
                pending.clear();
                return;
            }
            pending.remove(0, iac);
            iac = 0;
            if (pending.size() < 3)
                return;
            const quint8 verb = quint8(pending[iac + 1]);
            const quint8 option = quint8(pending[iac + 2]);
            if (verb == 0xFA) { // IAC SB option ... IAC SE
                const qsizetype end = pending.indexOf("\xFF\xF0", iac);
                if (end < 0)
                    return;
                const quint8 command = quint8(pending[iac + 3]);
                const QByteArray value = pending.mid(iac + 4, end - iac - 4);
                client->write(QByteArray("\xFF\xFA\x2C") + char(command + 100) + answerFor(command, value) + "\xFF\xF0");
                pending.remove(0, end + 2);
                continue;
            }
            if (verb == 0xFB) // WILL: DO
                client->write(QByteArray("\xFF\xFD") + char(option));
            else if (verb == 0xFD) // DO: WILL
                client->write(QByteArray("\xFF\xFB") + char(option));
            pending.remove(0, iac + 3);
        }
    }
};
