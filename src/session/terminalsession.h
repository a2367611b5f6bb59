#pragma once

#include "at/replyflags.h"
#include "at/sendallengine.h"
#include "serial/reconnector.h"
#include "serial/serialsession.h"
#include "session/logfile.h"
#include "session/pacedwriter.h"
#include "session/portopener.h"
#include "session/sessionlog.h"
#include "session/transactionlog.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// The terminal's session without its window: the port (opened through a
// PortOpener, so "Simulated module" works as any entry), the session log that
// every received byte and every sent command goes into, the reply flags, the
// framing of commands under the chosen end character, and Send All on its
// poll timer. The window connects its controls to it; the signals tell what
// happened.
class TerminalSession : public QObject
{
    Q_OBJECT
public:
    // At most this many bytes are taken from the port per ReceiveChunk.
    static constexpr qint64 kReceiveChunkMax = 511;

    explicit TerminalSession(SessionLog &log, QObject *parent = nullptr);
    ~TerminalSession() override;

    // Opens the port of settings.portName (a device name or path, or the
    // simulated module). Emits opened() or openFailed().
    SerialSession::OpenResult Open(const SerialSettings &settings);
    // The same for the window: a port that takes a while to open (over the
    // network) opens in the background: connecting() now, opened() or
    // openFailed() when it ends; Close() before then abandons it, untold.
    void StartOpen(const SerialSettings &settings);
    bool isConnecting() const { return m_serial.IsOpening(); }
    // Ends a Send All run, then runs the port's close sequence. Returns the
    // bytes that were written but could not go out (see SerialSession).
    qint64 Close();
    bool isOpen() const { return m_serial.IsOpen(); }

    // Reconnect (on by default): when the open device goes away, the session
    // stays: the log gets "----- <port> lost <time> -----", and the same
    // device, once back (under any name), is opened again with the same
    // settings and "----- <port> back <time> -----" logged. Close ends the
    // wait. Off, a lost device ends the session (deviceLost); so does, on, a
    // pty opened by its own name, which never comes back
    // (DeviceIdentity::mayComeBack).
    void setReconnect(bool on);
    bool reconnect() const { return m_reconnectOn; }
    // Waiting for the lost device to come back.
    bool isWaiting() const { return m_reconnect.isWaiting(); }
    const Reconnector &reconnector() const { return m_reconnect; }
    // The port's entry as the user named it at the last open.
    QString portEntry() const { return m_portEntry; }

    // Takes at most kReceiveChunkMax waiting bytes into the log and the reply
    // flags; emits logGrew(true).
    void ReceiveChunk();

    // The end character (EndChar) and the custom box's hex text that
    // SendCommandText frames under.
    void setEndChar(int endChar) { m_endChar = endChar; }
    int endChar() const { return m_endChar; }
    void setCustomEnd(const QByteArray &hexText) { m_customEnd = hexText; }
    // Frames one command under the end character, makes its log additions
    // and writes it; emits commandSent. The view shows the additions with the
    // next received chunk. While the session waits for its device nothing
    // can go: nothing is logged or written, and the result is false.
    bool SendCommandText(const QByteArray &command, bool nullLineBreak);
    // A command sent under NULL goes without an end of line, and a module
    // that waits for one answers only its echo. When all that came back
    // kEchoCheckMs after such a send (and before the next) is the command's
    // echo, onlyEchoCameBack is emitted.
    static constexpr int kEchoCheckMs = 1000;

    // Send All: the rows' commands read through commandAt at each send (so
    // that edits made during the run count), rowCount read now. The first
    // command goes at once. False when a run is already going, or while the
    // session waits for its device.
    bool startSendAll(qsizetype rowCount, SendAllEngine::CommandAt commandAt);
    void stopSendAll();
    bool sendAllActive() const { return m_sendAll.Active(); }
    const SendAllEngine &sendAll() const { return m_sendAll; }
    // Replaces the poll interval and the run's time limit (tests).
    void setSendAllTiming(int pollMs, qint64 timeLimitMs);

    // Pacing of what is sent (Send, double-click, Send All, a repeat, a
    // file): a pause after each character and after each line end. Off by
    // default; then a command's frame is written whole, as always.
    void setPacing(PacedWriter::Pacing pacing) { m_pacing = pacing; }
    PacedWriter::Pacing pacing() const { return m_pacing; }
    // Sends bytes as they are (a file's), paced as set, behind anything
    // still going; the log gets a line that says what went. False while
    // the port is not open.
    bool sendBytes(const QByteArray &bytes, const QByteArray &what);
    // A paced send or a file is still going out.
    bool isSending() const { return m_writer.busy(); }
    // Drops what has not yet gone of a paced send or a file; sendingEnded
    // tells how much went. Returns the bytes dropped.
    qint64 stopSending() { return m_writer.cancel(); }

    // The DTR and RTS boxes: set at once while the port is open (and asked
    // for at the next open through the line settings).
    void setDtr(bool on);
    void setRts(bool on);
    bool dtr() const { return m_dtr; }
    bool rts() const { return m_rts; }
    enum class Line { Dtr, Rts };
    static constexpr int kPulseMinMs = 100;
    static constexpr int kPulseMaxMs = 5000;
    // Turns the line over from what its box says for ms (clamped to the
    // bounds above), then puts it back. False while the port is not open.
    bool pulseLine(Line line, int ms);
    static constexpr int kBreakDefaultMs = 250;
    // Holds the line in the break condition for ms; false where the port
    // has none or is not open.
    bool sendBreak(int ms);
    // The port's status lines (CTS, DSR, DCD, RI and the rings since open),
    // where the port tells them; nothing while it is closed.
    bool reportsModemLines() const { return m_serial.IsOpen() && m_serial.ReportsModemLines(); }
    SerialSession::ModemLines modemLines() const { return m_lines; }
    // On: each change of a status line is marked in the log where it came,
    // e.g. "----- RI on 10:03:07.512 -----".
    void setMarkLineChanges(bool on) { m_markLineChanges = on; }
    bool markLineChanges() const { return m_markLineChanges; }
    static QByteArray LineChangeMark(const char *line, const char *what, const QDateTime &time);

    // Repeat: sends command every intervalMs (kRepeatMinMs … kRepeatMaxMs),
    // the first at once, each framed and logged as Send does, until
    // stopRepeat, Close or the device goes; repeatEnded tells it ended. A
    // tick that finds the last paced send still going is skipped. False
    // while the port is not open.
    static constexpr int kRepeatMinMs = 100;
    static constexpr int kRepeatMaxMs = 3600 * 1000;
    bool startRepeat(const QByteArray &command, bool nullLineBreak, int intervalMs);
    void stopRepeat();
    bool isRepeating() const { return m_repeatTimer.isActive(); }
    QByteArray repeatCommand() const { return m_repeatCommand; }

    // The log on disk: while a folder is set and the port is open, every
    // byte the session log gets also goes to a new file in it (LogFile),
    // one file per open. Empty turns it off. Set while open, a file starts
    // at once; set while waiting for the device, too, beginning with the
    // lost line (and what the log got after it), and goes on when the
    // device is back.
    void setLogDirectory(const QString &folder);
    QString logDirectory() const { return m_logDirectory; }
    QString logFilePath() const { return m_logFile.isOpen() ? m_logFile.path() : QString(); }

    SessionLog &log() { return m_log; }
    // The AT transactions of everything sent and received since the log's
    // last Clear: told of the commands sent; the received bytes are read
    // from the log when its reader catches up.
    TransactionLog &transactions() { return m_transactions; }
    ReplyFlags &flags() { return m_flags; }
    SerialSession &serial() { return m_serial; }
    const SerialSession &serial() const { return m_serial; }
    PortOpener &ports() { return m_ports; }

signals:
    // StartOpen began an open that takes a while.
    void connecting();
    void opened();
    // The port did not open: result SettingsRejected when the device refused
    // the line settings; reason is the system's explanation, empty when the
    // port is only in use (or the simulated module did not start).
    void openFailed(SerialSession::OpenResult result, const QString &reason);
    // The device went away while open and reconnect is off; the port is
    // already closed.
    void deviceLost(const QString &devicePath, const QString &reason);
    // With reconnect on: the device went away and the session waits for it;
    // then it is open again on devicePath.
    void waitingForDevice(const QString &devicePath, const QString &reason);
    void deviceBack(const QString &devicePath);
    // Received bytes went into the log.
    void logGrew(bool scrollToEnd);
    // A command's frame was handed to the port.
    void commandSent(const QByteArray &frame);
    void sendAllStarted();
    void sendAllEnded(SendAllEngine::EndReason reason);
    // The run ended because its device went away (told after sendAllEnded,
    // before deviceLost or waitingForDevice).
    void sendAllCut();
    // Written bytes that never went out.
    void writeTimedOut(qint64 bytes);
    // A command sent under NULL got back only its echo (see kEchoCheckMs).
    void onlyEchoCameBack(const QByteArray &command);
    // The log on disk started a file, or could not go on (the in-memory log
    // does); told once per file.
    void logFileStarted(const QString &path);
    void logFileFailed(const QString &reason);
    // A paced send or a file is going out: handed of total bytes.
    void sendProgress(qint64 handed, qint64 total);
    // It ended: all went (complete), or it was stopped or cut after handed.
    void sendingEnded(qint64 handed, qint64 total, bool complete);
    // The status lines changed (or a ring ended), or the port closed.
    void modemLinesChanged(const SerialSession::ModemLines &lines);
    void repeatEnded();

private:
    // Tells how an open ended; the bookkeeping of one that worked.
    SerialSession::OpenResult finishOpen(const SerialSettings &settings, const SerialSettings &device,
                                         SerialSession::OpenResult result);
    void onReceiveReady();
    void onDeviceLost(const QString &reason);
    void onDeviceBack(const QString &devicePath);
    // Logs the device's line; returns where it starts in the log.
    qsizetype logDeviceLine(const char *what);
    void pollSendAll();
    void startLogFile();
    void stopLogFile();
    void checkEcho();
    // Writes a frame: at once, or through the paced writer when pacing is
    // on or a paced send is still going (bytes stay in order).
    void writeFrame(const QByteArray &bytes);
    void onModemLines(const SerialSession::ModemLines &lines);
    // Ends what runs on the open port (a paced send, a repeat, pulses) as
    // it closes or goes.
    void endPortWork();
    void applyLine(Line line, bool on);

    SessionLog &m_log;
    TransactionLog m_transactions { m_log };
    SerialSession m_serial;
    Reconnector m_reconnect { m_serial };
    bool m_reconnectOn = true;
    PortOpener m_ports;
    ReplyFlags m_flags;
    ReplyScanner m_scanner;
    int m_endChar = 0;
    QByteArray m_customEnd;
    SendAllEngine m_sendAll;
    SendAllEngine::CommandAt m_commandAt;
    bool m_sendAllRunning = false; // between sendAllStarted and sendAllEnded
    QTimer m_sendAllTimer;
    QElapsedTimer m_sendAllClock;
    QString m_logDirectory;
    QString m_portEntry; // as the user named the open port
    LogFile m_logFile;
    // The last command sent under NULL, and where the log stood after it.
    PacedWriter::Pacing m_pacing;
    PacedWriter m_writer { [this](const char *data, qint64 n) { return m_serial.Write(data, n); },
                           [this] { return m_serial.BytesToWrite(); } };
    bool m_dtr = false;
    bool m_rts = false;
    bool m_openedDtr = false; // as the port was opened (and is reopened)
    bool m_openedRts = false;
    QTimer m_pulseTimer[2];
    SerialSession::ModemLines m_lines;
    bool m_markLineChanges = false;
    QTimer m_repeatTimer;
    QByteArray m_repeatCommand;
    bool m_repeatNullLineBreak = true;
    QTimer m_echoTimer;
    QByteArray m_echoCommand;
    qsizetype m_echoFrom = 0;
    quint64 m_echoGeneration = 0;
    // Where the last lost line starts in the log, and the log's generation
    // then (a Clear since leaves nothing of it).
    qsizetype m_lostLineAt = -1;
    quint64 m_lostLineGeneration = 0;
};
