#pragma once

#include "serial/porttransport.h"
#include "sim/siminprocessport.h"

#include <QByteArray>
#include <QPointer>
#include <QString>

// The simulated module reached inside the program, as a port: its name is
// that of a SimInProcessPort ("sim:", "sim:<unit>"). What is written reaches
// the module on the next turn of the event loop, as if it came down the
// line; the module's output arrives at the pace of its line, announced by
// readyRead. The line settings are taken as they are (the module's pace is
// set where the port is prepared), and DTR and RTS are accepted and mean
// nothing. The module's status lines are those of a module switched on and
// ready (CTS and DSR on) with its ring indicator, pulsed on RING and on an
// incoming message. The module's reset hangs the port up (lost), and the
// name opens again once the module is back.
class SimInProcessTransport : public PortTransport, private SimTerminalEnd
{
    Q_OBJECT
public:
    static const QString kScheme;
    static bool IsSimName(const QString &name) { return name.startsWith(kScheme); }

    explicit SimInProcessTransport(const QString &name, QObject *parent = nullptr);
    ~SimInProcessTransport() override;

    OpenResult open(const SerialSettings &settings) override;
    void close() override;
    bool isOpen() const override { return m_port != nullptr; }
    QString name() const override { return m_name; }
    qint64 read(char *buffer, qint64 n) override;
    qint64 bytesAvailable() const override { return m_received.size(); }
    qint64 write(const char *data, qint64 n) override;
    qint64 bytesToWrite() const override { return m_unsent.size(); }
    bool waitForBytesWritten(int ms) override;
    bool failedForGood() const override { return !isOpen(); }
    void purge(Direction direction) override;
    void setDataTerminalReady(bool on) override;
    void setRequestToSend(bool) override {}
    bool reportsModemLines() const override { return isOpen(); }
    ModemLines modemLines() const override { return m_lines; }
    PortOpenFailure openFailure() const override { return m_openFailure; }
    QString errorString() const override { return m_lastError; }

private:
    void deliver(const QByteArray &bytes) override;
    bool allRead() const override { return m_received.isEmpty(); }
    void hangUp(const QString &reason) override;
    void statusLines(bool ringIndicator, bool carrier) override;
    void sendNow();

    QString m_name;
    QPointer<SimInProcessPort> m_port;
    QByteArray m_received;  // from the module, not yet read
    QByteArray m_unsent;    // written, not yet handed to the module
    bool m_sendQueued = false;
    bool m_announceQueued = false;
    bool m_lossQueued = false;
    ModemLines m_lines;
    QString m_lastError;
    PortOpenFailure m_openFailure;
};
