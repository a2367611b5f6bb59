#pragma once

#include "serial/portopenfailure.h"
#include "serial/porttransport.h"
#include "serial/serialsettings.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

// The one serial port the main window has open at a time.
//
// Everything runs on the thread that owns the session (the window's): the
// port's ready-read notification announces received bytes, Read takes them
// without waiting, and Write hands a frame to the port's output queue, which
// keeps frames whole and in order while the event loop drains it. The port
// itself is a PortTransport (a local device unless a transport maker is set
// for its name); the rules here are the same for every kind.
class SerialSession : public QObject
{
    Q_OBJECT
public:
    using OpenResult = PortTransport::OpenResult;
    // Makes the transport for a Port entry, or null to leave it to the next
    // maker (in the end a local device of that name).
    using TransportMaker = std::function<std::unique_ptr<PortTransport>(const QString &portName)>;
    static void AddTransportMaker(TransportMaker maker);

    explicit SerialSession(QObject *parent = nullptr);
    ~SerialSession() override;

    // Opens the port with settings and clears both directions of the
    // driver's buffers, except for received bytes when keepInput is set (a
    // device opened again after it came back: what it said first is kept).
    // A port that takes a while to open (over the network) is waited for
    // with the event loop running, user input held back.
    OpenResult Open(const SerialSettings &settings, bool keepInput = false);
    // The same without waiting: the result now for a port that opens at once
    // (a local device; whenDone is not called), or nothing now and whenDone
    // later. Close() or another open before then abandons it: whenDone is
    // not called.
    using WhenOpened = std::function<void(OpenResult)>;
    std::optional<OpenResult> BeginOpen(const SerialSettings &settings, bool keepInput, WhenOpened whenDone);
    bool IsOpening() const { return m_opening != nullptr; }
    // Opens several sessions as Open() does, the ports that take a while
    // waited for together (a rack over the network would otherwise add up
    // their waits); the results in the order given.
    static QList<OpenResult> OpenTogether(const QList<SerialSession *> &sessions,
                                          const QList<SerialSettings> &settings);
    // The close sequence: stop watching, let what was written go out (at most
    // its time on the wire at the port's speed plus kDrainMarginMs), lower
    // DTR, purge both directions, pause 500 ms, release the port. Returns the
    // bytes that were written but could not go out (a stuck flow-control
    // line) and were purged; 0 when everything went, or when already closed.
    qint64 Close();
    // Closes several sessions with one pause for all (a run on many modules
    // would otherwise wait 500 ms a port); returns the bytes purged in all.
    static qint64 CloseTogether(const QList<SerialSession *> &sessions);
    // Takes at most n waiting bytes without waiting for more; 0 when nothing
    // was waiting, the port is closed or the read failed.
    qint64 Read(char *buffer, qint64 n);
    // Queues the whole frame for writing behind any frame written before it.
    // A frame that has not gone out within 150 ms per byte + 2000 ms is given
    // up. Returns the count accepted, 0 when closed or failed.
    qint64 Write(const char *data, qint64 n);

    // Drops what was written and has not gone out yet (the port's queue and
    // the driver's); returns how many bytes that was.
    qint64 DropOutput();
    // How long n bytes take on the wire at the open port's line settings.
    qint64 WireMs(qint64 n) const { return n * m_bitsPerChar * 1000 / m_baudRate; }

    bool IsOpen() const { return m_port != nullptr; }
    // The open port's status lines, when it tells them; DTR and RTS set at
    // once; a break held for ms (false where the port has none, or closed).
    using ModemLines = PortTransport::ModemLines;
    bool ReportsModemLines() const { return m_port && m_port->reportsModemLines(); }
    ModemLines GetModemLines() const { return m_port ? m_port->modemLines() : ModemLines {}; }
    void SetDtr(bool on);
    void SetRts(bool on);
    bool SendBreak(int ms) { return m_port && m_port->sendBreak(ms); }
    qint64 BytesAvailable() const;
    qint64 BytesToWrite() const;
    QString DevicePath() const { return m_devicePath; }
    // What the user should know of how the open port was set up (a network
    // port that took no settings, or not all); empty for a local device.
    QString SetupNote() const { return m_port ? m_port->setupNote() : QString(); }
    // The transport's text for why the last Open failed (diagnostics; the window
    // tells the user OpenFailure() instead).
    QString LastError() const { return m_lastError; }
    // Why the device of the last Open that returned Failed did not open;
    // cause None after any other outcome.
    const PortOpenFailure &OpenFailure() const { return m_openFailure; }

    static constexpr int kClosePauseMs = 500;
    static constexpr int kDrainMarginMs = 1000;
    static constexpr int kWriteTimeoutPerByteMs = 150;
    static constexpr int kWriteTimeoutConstantMs = 2000;
    // How long queued output may take: perByteMs for each byte plus
    // constantMs for each frame (defaults above).
    void SetWriteTimeouts(int perByteMs, int constantMs);

signals:
    // Bytes are waiting to be read.
    void ReceiveReady();
    // The device went away while open (unplugged, hung up). The session has
    // already released it and is closed.
    void DeviceLost(const QString &reason);
    // Queued output did not drain in time and was dropped.
    void WriteTimedOut(qint64 droppedBytes);
    // Everything queued has been handed to the device.
    void AllWritten();
    // The open port's status lines changed (or a ring ended).
    void ModemLinesChanged(const SerialSession::ModemLines &lines);

private:
    void OnLost(const QString &reason);
    // Takes an opened transport into the session, or tells why it did not.
    OpenResult Adopt(std::unique_ptr<PortTransport> transport, OpenResult result, const SerialSettings &settings,
                     bool keepInput);
    void AbandonOpening();
    void OnBytesWritten();
    void OnWriteTimeout();
    void Release();
    bool BeginClose(qint64 *unsent);
    qint64 DrainOutput();
    // Written but not yet on the wire: in the port's buffer and the driver's.
    qint64 OutputQueued() const;

    QPointer<PortTransport> m_port;
    QPointer<PortTransport> m_opening; // an open under way
    WhenOpened m_whenOpened;
    QString m_devicePath;
    QString m_lastError;
    PortOpenFailure m_openFailure;
    QTimer m_writeTimer;
    QElapsedTimer m_clock;
    qint64 m_writeDeadline = 0; // on m_clock, when the queued output must be out
    int m_writePerByteMs = kWriteTimeoutPerByteMs;
    int m_writeConstantMs = kWriteTimeoutConstantMs;
    bool m_closing = false;
    quint32 m_baudRate = 1;
    int m_bitsPerChar = 10;
};
