#pragma once

#include "serial/modemlinewatch.h"
#include "serial/porttransport.h"

#include <QPointer>
#include <QSerialPort>

// A serial device of this machine (a USB adapter, a built-in port, a pty),
// through QSerialPort.
class LocalSerialTransport : public PortTransport
{
    Q_OBJECT
public:
    explicit LocalSerialTransport(const QString &devicePath, QObject *parent = nullptr);
    ~LocalSerialTransport() override;

    OpenResult open(const SerialSettings &settings) override;
    void close() override;
    bool isOpen() const override { return m_port != nullptr; }
    QString name() const override { return m_devicePath; }
    qint64 read(char *buffer, qint64 n) override;
    qint64 bytesAvailable() const override;
    qint64 write(const char *data, qint64 n) override;
    qint64 bytesToWrite() const override;
    qint64 queuedBelow() const override;
    bool waitForBytesWritten(int ms) override;
    bool failedForGood() const override;
    void purge(Direction direction) override;
    void setDataTerminalReady(bool on) override;
    void setRequestToSend(bool on) override;
    bool sendBreak(int ms) override;
    // The lines as the driver tells their changes (ModemLineWatch), where
    // it does.
    bool reportsModemLines() const override { return m_port && m_lineWatch.watching(); }
    ModemLines modemLines() const override { return m_lineWatch.lines(); }
    PortOpenFailure openFailure() const override { return m_openFailure; }
    QString errorString() const override { return m_lastError; }

protected:
    // Takes what the device has received into the port's buffer now (and
    // tells readyRead), as a change told beside the device needs to come
    // after the bytes before it.
    void takeArrived();

private:
    bool applySettings(const SerialSettings &settings);
    void onError(QSerialPort::SerialPortError error);

    QString m_devicePath;
    QPointer<QSerialPort> m_port;
    ModemLineWatch m_lineWatch;
    QString m_lastError;
    PortOpenFailure m_openFailure;
};
