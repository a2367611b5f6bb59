#pragma once

// A real ser2net in front of a device, for the network-port tests: started
// with a configuration of the test's own (never the system's, which serves
// /dev/ttyS0), on 127.0.0.1 and free ports, and stopped with the test.

#include "ser2netprogram.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class Ser2net
{
public:
    static QString Program() { return Ser2netProgram(); }

    ~Ser2net() { stop(); }

    // Serves device raw on rawPort() and with RFC 2217 on rfc2217Port();
    // true once both take connections.
    bool start(const QString &device, const QString &line = QStringLiteral("115200n81"))
    {
        if (Program().isEmpty() || !m_dir.isValid())
            return false;
        if (m_rawPort == 0) {
            m_rawPort = FreeLocalPort();
            m_rfcPort = FreeLocalPort();
        }
        m_device = device;
        QFile config(m_dir.filePath(QStringLiteral("ser2net.yaml")));
        if (!config.open(QIODevice::WriteOnly))
            return false;
        const QString connector = QStringLiteral("serialdev,%1,%2,local").arg(device, line);
        config.write(QStringLiteral("%YAML 1.1\n---\n"
                                    "connection: &raw\n"
                                    "    accepter: tcp,127.0.0.1,%1\n"
                                    "    connector: %3\n"
                                    "connection: &rfc\n"
                                    "    accepter: telnet(rfc2217),tcp,127.0.0.1,%2\n"
                                    "    connector: %3\n")
                         .arg(m_rawPort)
                         .arg(m_rfcPort)
                         .arg(connector)
                         .toUtf8());
        config.close();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(Program(), {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), config.fileName(),
                                    QStringLiteral("-P"), m_dir.filePath(QStringLiteral("ser2net.pid"))});
        if (!m_process.waitForStarted(3000))
            return false;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000) {
            if (ListensOn(m_rawPort) && ListensOn(m_rfcPort))
                return true;
            QTest::qWait(20);
        }
        return false;
    }
    // Starts it again on the same ports (a server restart).
    bool restart() { return start(m_device); }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(3000);
    }

    quint16 rawPort() const { return m_rawPort; }
    quint16 rfc2217Port() const { return m_rfcPort; }
    QString rawUrl() const { return QStringLiteral("socket://127.0.0.1:%1").arg(m_rawPort); }
    QString rfc2217Url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_rfcPort); }
    QString output() { return QString::fromUtf8(m_process.readAll()); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_device;
    quint16 m_rawPort = 0;
    quint16 m_rfcPort = 0;
};
