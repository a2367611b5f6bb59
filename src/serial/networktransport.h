#pragma once

#include "serial/porttransport.h"
#include "serial/receivebatching.h"

#include <QByteArray>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
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

// A port reached over TCP. The connection is made when the port opens, in
// the background (beginOpen): each step has its bound (kConnectTimeoutMs to
// connect), and the thread goes on meanwhile; open() waits for the same
// steps. A connection that closes or breaks while open is a lost device.
// This class moves bytes as they are (socket://); a protocol on top of the
// connection overrides the hooks below.
class NetworkTransport : public PortTransport
{
    Q_OBJECT
public:
    static constexpr int kConnectTimeoutMs = 4000;
    static constexpr qint64 kReadPieceBytes = 64 * 1024;

    explicit NetworkTransport(const QString &name, QObject *parent = nullptr);
    ~NetworkTransport() override;

    OpenResult open(const SerialSettings &settings) override;
    bool opensAtOnce() const override { return false; }
    void beginOpen(const SerialSettings &settings) override;
    void close() override;
    bool isOpen() const override { return m_socket != nullptr && !m_opening; }
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
    // How the set-up after the connection ended.
    struct Started
    {
        bool ok = true;
        bool rejected = false; // the server refused the line settings
        QString why;
    };
    // After the connection is up: sets the port up, then calls done (never
    // from within this call's own stack is fine too). Raw TCP has nothing to
    // set.
    virtual void startSession(const SerialSettings &settings, std::function<void(Started)> done);
    // What arrived from the server, to user data (and protocol answers).
    virtual QByteArray decode(const QByteArray &fromServer);
    // User data, to what goes to the server.
    virtual QByteArray encode(QByteArrayView data);
    // Sends protocol bytes straight away.
    void sendRaw(const QByteArray &bytes);
    QTcpSocket *socket() const { return m_socket; }
    bool connected() const { return m_socket && m_socket->state() == QAbstractSocket::ConnectedState; }
    // Calls then once done() holds, the connection is gone, or ms pass;
    // done() is looked at again whenever the server sends something.
    void waitFor(std::function<bool()> done, int ms, std::function<void()> then);
    void fail(PortOpenFailure::Cause cause, const QString &text);
    const NetworkPortAddress &address() const { return m_address; }

private:
    void onReadyRead();
    void onDisconnected();
    void loseConnection(const QString &reason);
    void checkWait(bool timedOut);
    void connectionMade();
    void sessionStarted(const Started &started);
    void finishOpen(OpenResult result);

    QString m_name;
    NetworkPortAddress m_address;
    QPointer<QTcpSocket> m_socket;
    QByteArray m_received; // user data not yet read
    QString m_lastError;
    PortOpenFailure m_openFailure;
    SerialSettings m_settings;
    bool m_opening = false;
    bool m_openDone = false;
    OpenResult m_openResult = OpenResult::Failed;
    QTimer m_waitTimer;
    ReceiveBatching m_batching;
    std::function<bool()> m_waitDone;
    std::function<void()> m_waitThen;
};
