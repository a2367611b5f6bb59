#pragma once

#include "serial/porttransport.h"

#include <QByteArray>
#include <QPointer>
#include <QTcpSocket>
#include <functional>

// Where a port on another computer is: "socket://HOST:PORT" (raw TCP, the
// bytes as they are) or "rfc2217://HOST:PORT" (Telnet with the Com Port
// Control option). HOST may be a name, an IPv4 address or an IPv6 address in
// brackets.
struct NetworkPortAddress
{
    enum class Kind { RawTcp, Rfc2217 };
    Kind kind = Kind::RawTcp;
    QString host;
    quint16 port = 0;

    // True when name starts with one of the two schemes, whether or not the
    // rest parses.
    static bool IsNetworkName(const QString &name);
    // The address in name; false, with *error saying what is wrong, when it
    // does not parse.
    static bool Parse(const QString &name, NetworkPortAddress *address, QString *error);
};

// A port reached over TCP. The connection is made when the port opens, with
// a bounded wait (kConnectTimeoutMs) during which the window still repaints;
// a connection that closes or breaks while open is a lost device. This class
// moves bytes as they are (socket://); a protocol on top of the connection
// overrides the hooks below.
class NetworkTransport : public PortTransport
{
    Q_OBJECT
public:
    static constexpr int kConnectTimeoutMs = 4000;

    explicit NetworkTransport(const QString &name, QObject *parent = nullptr);
    ~NetworkTransport() override;

    OpenResult open(const SerialSettings &settings) override;
    void close() override;
    bool isOpen() const override { return m_socket != nullptr; }
    QString name() const override { return m_name; }
    qint64 read(char *buffer, qint64 n) override;
    qint64 bytesAvailable() const override { return m_received.size(); }
    qint64 write(const char *data, qint64 n) override;
    qint64 bytesToWrite() const override;
    qint64 queuedBelow() const override;
    bool waitForBytesWritten(int ms) override;
    bool failedForGood() const override;
    void purge(Direction direction) override;
    void setDataTerminalReady(bool) override {}
    void setRequestToSend(bool) override {}
    PortOpenFailure openFailure() const override { return m_openFailure; }
    QString errorString() const override { return m_lastError; }

    // A raw TCP port takes no line settings: the server's are used.
    QString setupNote() const override;

protected:
    // After the connection is up: sets the port up; false with *why when it
    // cannot be used (*rejected: it refused the settings).
    virtual bool startSession(const SerialSettings &settings, bool *rejected, QString *why);
    // What arrived from the server, to user data (and protocol answers).
    virtual QByteArray decode(const QByteArray &fromServer);
    // User data, to what goes to the server.
    virtual QByteArray encode(QByteArrayView data);
    // Sends protocol bytes straight away.
    void sendRaw(const QByteArray &bytes);
    QTcpSocket *socket() const { return m_socket; }
    // Runs the event loop (user input excluded) until done() or ms pass;
    // false when the time ran out or the connection went.
    bool waitUntil(const std::function<bool()> &done, int ms);
    void fail(PortOpenFailure::Cause cause, const QString &text);
    const NetworkPortAddress &address() const { return m_address; }

private:
    void onReadyRead();
    void onDisconnected();
    void loseConnection(const QString &reason);

    QString m_name;
    NetworkPortAddress m_address;
    QPointer<QTcpSocket> m_socket;
    QByteArray m_received; // user data not yet read
    QString m_lastError;
    PortOpenFailure m_openFailure;
    bool m_opening = false;
};
