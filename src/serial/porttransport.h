#pragma once

#include "serial/portopenfailure.h"
#include "serial/serialsettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

// One open port as the session sees it: bytes in and out, what is still
// queued, the modem control lines, and word when it goes away. A local
// serial device is one transport; a port reached over the network is
// another. The session keeps the rules that are the same for all (write
// time-outs, the close sequence, reconnect); a transport only moves bytes
// and says what happened.
//
// Everything runs on the thread that owns the transport. readyRead and
// bytesWritten follow QIODevice's meaning; lost is emitted once, after any
// bytes that arrived before the loss were announced, and the transport is
// closed by then.
class PortTransport : public QObject
{
    Q_OBJECT
public:
    enum class OpenResult {
        Opened,
        Failed,           // see openFailure() and errorString()
        SettingsRejected, // the port refused the line settings; it is closed again
    };
    enum class Direction { Input = 1, Output = 2, Both = 3 };

    using QObject::QObject;
    ~PortTransport() override = default;

    // Opens the port and applies the line settings (speed, frame, RTS and
    // DTR raised as asked). Received and queued bytes are not cleared here.
    virtual OpenResult open(const SerialSettings &settings) = 0;
    // A port that opens at once (a local device) is opened with open(); one
    // that takes a while (a connection over the network) with beginOpen(),
    // which returns at once and tells the result with openFinished (never
    // before it returns). close() abandons an open under way, untold.
    virtual bool opensAtOnce() const { return true; }
    virtual void beginOpen(const SerialSettings &settings);
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // The port's name as it is opened (a device path, an address).
    virtual QString name() const = 0;

    // Takes at most n waiting bytes without waiting; 0 when none.
    virtual qint64 read(char *buffer, qint64 n) = 0;
    virtual qint64 bytesAvailable() const = 0;
    // Queues bytes for sending; the count accepted, 0 when it failed.
    virtual qint64 write(const char *data, qint64 n) = 0;
    // Written and not yet gone: in the transport's own buffer, and with
    // below also what lies queued beneath it (the driver's queue).
    virtual qint64 bytesToWrite() const = 0;
    virtual qint64 queuedBelow() const { return 0; }
    // Waits up to ms for some queued bytes to go. False when none went; then
    // failedForGood() tells a port that cannot send at all from one that is
    // only slow.
    virtual bool waitForBytesWritten(int ms) = 0;
    virtual bool failedForGood() const = 0;
    // Drops what is queued or received, as the close sequence and a stuck
    // line need.
    virtual void purge(Direction direction) = 0;

    // The modem control lines; a port without them ignores the request.
    virtual void setDataTerminalReady(bool on) = 0;
    virtual void setRequestToSend(bool on) = 0;
    // Holds the line in the break condition for ms, then lets it go; false
    // where the port cannot send one (nothing is sent then).
    virtual bool sendBreak(int ms)
    {
        Q_UNUSED(ms);
        return false;
    }

    // The modem status lines as the port last told them, and the rings it
    // told since it opened (a ring may end before a notice shows RI on: the
    // count catches it).
    struct ModemLines
    {
        bool cts = false;
        bool dsr = false;
        bool dcd = false;
        bool ri = false;
        quint32 rings = 0;
        bool operator==(const ModemLines &) const = default;
    };
    // Whether this port tells its status lines as they change
    // (modemLinesChanged); one that does not has none to show.
    virtual bool reportsModemLines() const { return false; }
    virtual ModemLines modemLines() const { return {}; }

    // Why the last open failed, in terms a user can act on, and the
    // system's own text for it.
    virtual PortOpenFailure openFailure() const = 0;
    virtual QString errorString() const = 0;
    // What the user should know of how the open port was set up (settings a
    // server did not take, a port that takes none); empty when nothing.
    virtual QString setupNote() const { return {}; }

signals:
    void openFinished(PortTransport::OpenResult result);
    void readyRead();
    void bytesWritten();
    void lost(const QString &reason);
    // A status line changed, or a ring ended.
    void modemLinesChanged(const PortTransport::ModemLines &lines);

protected:
    // read() for a transport that holds what it received: up to n bytes
    // from the front of `held` into buffer; how many.
    static qint64 TakeFront(QByteArray &held, char *buffer, qint64 n);
};

// Runs the event loop, user input held back (repaints and sockets go on),
// until done() holds: how a caller that must have a result waits for a
// port that opens in the background. Every open it waits for is bounded.
void RunEventsUntil(const std::function<bool()> &done);
