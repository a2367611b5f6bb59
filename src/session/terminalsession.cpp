#include "session/terminalsession.h"

#include "at/commandframe.h"
#include "serial/networktransport.h"
#include "text/codepage936.h"

#include <QDateTime>

#include <algorithm>
#include <utility>

TerminalSession::TerminalSession(SessionLog &log, QObject *parent)
    : QObject(parent)
    , m_log(log)
{
    // One poll at a time, each at least the interval after the one before
    // (a coarse or repeating timer may fire a little early).
    m_sendAllTimer.setSingleShot(true);
    m_sendAllTimer.setTimerType(Qt::PreciseTimer);
    m_sendAllTimer.setInterval(SendAllEngine::kPollMs);
    connect(&m_sendAllTimer, &QTimer::timeout, this, &TerminalSession::pollSendAll);
    m_echoTimer.setSingleShot(true);
    m_echoTimer.setInterval(kEchoCheckMs);
    connect(&m_echoTimer, &QTimer::timeout, this, &TerminalSession::checkEcho);
    connect(&m_serial, &SerialSession::ReceiveReady, this, &TerminalSession::onReceiveReady);
    connect(&m_serial, &SerialSession::DeviceLost, this, &TerminalSession::onDeviceLost);
    connect(&m_serial, &SerialSession::WriteTimedOut, this, &TerminalSession::writeTimedOut);
    connect(&m_reconnect, &Reconnector::back, this, &TerminalSession::onDeviceBack);
    connect(&m_serial, &SerialSession::ModemLinesChanged, this, &TerminalSession::onModemLines);
    connect(&m_serial, &SerialSession::AllWritten, &m_writer, &PacedWriter::portDrained);
    connect(&m_writer, &PacedWriter::progress, this, &TerminalSession::sendProgress);
    connect(&m_writer, &PacedWriter::finished, this, &TerminalSession::sendingEnded);
    for (Line line : { Line::Dtr, Line::Rts }) {
        QTimer &pulse = m_pulseTimer[int(line)];
        pulse.setSingleShot(true);
        pulse.setTimerType(Qt::PreciseTimer);
        connect(&pulse, &QTimer::timeout, this, [this, line] { applyLine(line, line == Line::Dtr ? m_dtr : m_rts); });
    }
    m_repeatTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_repeatTimer, &QTimer::timeout, this, [this] {
        if (!m_writer.busy())
            SendCommandText(m_repeatCommand, m_repeatNullLineBreak);
    });
    // Queued: a write that fails may be one made for the log's tee, with the
    // log's lock held.
    connect(
        &m_logFile, &LogFile::failed, this,
        [this](const QString &reason) {
            m_log.setTee({});
            emit logFileFailed(reason);
        },
        Qt::QueuedConnection);
}

TerminalSession::~TerminalSession()
{
    m_serial.disconnect(this);
    stopLogFile();
}

void TerminalSession::setLogDirectory(const QString &folder)
{
    if (folder == m_logDirectory)
        return;
    stopLogFile();
    m_logDirectory = folder;
    if (isOpen() || isWaiting())
        startLogFile();
}

void TerminalSession::startLogFile()
{
    if (m_logDirectory.isEmpty())
        return;
    QString why;
    if (!m_logFile.open(m_logDirectory, m_portEntry, &why)) {
        emit logFileFailed(why);
        return;
    }
    // Started during a wait: the file says what it waits for.
    if (isWaiting() && m_lostLineAt >= 0 && m_log.generation() == m_lostLineGeneration) {
        const QByteArray since = m_log.Slice(m_lostLineAt, m_log.size() - m_lostLineAt);
        m_logFile.append(since.constData(), since.size());
    }
    m_log.setTee([this](const char *data, qsizetype n) { m_logFile.append(data, n); });
    emit logFileStarted(m_logFile.path());
}

void TerminalSession::stopLogFile()
{
    m_log.setTee({});
    m_logFile.close();
}

SerialSession::OpenResult TerminalSession::Open(const SerialSettings &settings)
{
    SerialSettings device = settings;
    device.portName = m_ports.deviceFor(settings);
    const SerialSession::OpenResult result =
        device.portName.isEmpty() ? SerialSession::OpenResult::Failed : m_serial.Open(device);
    return finishOpen(settings, device, result);
}

void TerminalSession::StartOpen(const SerialSettings &settings)
{
    SerialSettings device = settings;
    device.portName = m_ports.deviceFor(settings);
    if (device.portName.isEmpty()) {
        finishOpen(settings, device, SerialSession::OpenResult::Failed);
        return;
    }
    const std::optional<SerialSession::OpenResult> now = m_serial.BeginOpen(
        device, false, [this, settings, device](SerialSession::OpenResult result) { finishOpen(settings, device, result); });
    if (now)
        finishOpen(settings, device, *now);
    else
        emit connecting();
}

SerialSession::OpenResult TerminalSession::finishOpen(const SerialSettings &settings, const SerialSettings &device,
                                                  SerialSession::OpenResult result)
{
    if (result != SerialSession::OpenResult::Opened) {
        QString why; // the system's reason when the device did not open
        if (result == SerialSession::OpenResult::Failed && !device.portName.isEmpty())
            why = m_serial.OpenFailure().Explanation();
        // A server in front of a port says which setting it did not take.
        else if (result == SerialSession::OpenResult::SettingsRejected
                 && NetworkPortAddress::IsNetworkName(device.portName))
            why = m_serial.LastError();
        emit openFailed(result, why);
        return result;
    }
    m_scanner.Reset();
    m_dtr = m_openedDtr = settings.dtrHandshake;
    m_rts = m_openedRts = settings.rtsHandshake;
    // The lines as the port opens are where the marks start from.
    m_lines = m_serial.GetModemLines();
    emit modemLinesChanged(m_lines);
    m_portEntry = settings.portName;
    m_reconnect.remember(device);
    startLogFile();
    emit opened();
    return result;
}

qint64 TerminalSession::Close()
{
    // A run in progress ends with the port: nothing is framed or logged
    // during the close sequence, and a closed port could answer nothing.
    stopSendAll();
    endPortWork();
    m_echoTimer.stop();
    m_reconnect.stop();
    const qint64 unsent = m_serial.Close();
    onModemLines({});
    m_transactions.EndCommand(m_log.size());
    stopLogFile();
    return unsent;
}

void TerminalSession::setReconnect(bool on)
{
    m_reconnectOn = on;
    if (!on && m_reconnect.isWaiting()) {
        // Turned off during a wait: the session ends as a loss without
        // reconnect does.
        m_reconnect.stop();
        stopLogFile();
        emit deviceLost(m_reconnect.identity().path, QStringLiteral("reconnect was turned off"));
    }
}

qsizetype TerminalSession::logDeviceLine(const char *what)
{
    // Set off from the text around it as the module type's separator is.
    m_log.AppendLineBreak();
    const qsizetype at = m_log.size();
    m_log.Append(DeviceEventLine(ToCodePage936(m_portEntry), what, QDateTime::currentDateTime()),
                 SessionLog::Origin::Terminal);
    emit logGrew(true);
    return at;
}

void TerminalSession::onDeviceLost(const QString &reason)
{
    const QString device = m_serial.DevicePath();
    // A run cannot go on without the port; a command it sent now would be
    // lost, and the run's answer with it.
    const bool runGoing = m_sendAllRunning;
    stopSendAll();
    if (runGoing)
        emit sendAllCut();
    endPortWork();
    onModemLines({});
    m_transactions.EndCommand(m_log.size());
    if (!m_reconnectOn || !m_reconnect.identity().mayComeBack()) {
        stopLogFile();
        emit deviceLost(device, reason);
        return;
    }
    m_lostLineAt = logDeviceLine("lost");
    m_lostLineGeneration = m_log.generation();
    emit waitingForDevice(device, reason);
    m_reconnect.begin();
}

void TerminalSession::onDeviceBack(const QString &devicePath)
{
    m_scanner.Reset();
    // It opened as the first open did; a box changed since is applied
    // again. The lamps show the port as it is back.
    if (m_dtr != m_openedDtr)
        applyLine(Line::Dtr, m_dtr);
    if (m_rts != m_openedRts)
        applyLine(Line::Rts, m_rts);
    m_lines = m_serial.GetModemLines();
    emit modemLinesChanged(m_lines);
    logDeviceLine("back");
    emit deviceBack(devicePath);
    // Bytes that came with the open are read now.
    onReceiveReady();
}

void TerminalSession::onReceiveReady()
{
    // Take everything that is waiting, at most 511 bytes per chunk, so that
    // nothing stays behind until the next announcement.
    while (m_serial.IsOpen() && m_serial.BytesAvailable() > 0)
        ReceiveChunk();
}

void TerminalSession::ReceiveChunk()
{
    char buffer[kReceiveChunkMax + 1] = {};
    const qint64 n = m_serial.Read(buffer, kReceiveChunkMax);
    // Every byte goes into the log, zero bytes included.
    m_log.Append(buffer, n);
    emit logGrew(true);
    m_scanner.Scan(buffer, n, m_flags);
}

bool TerminalSession::SendCommandText(const QByteArray &command, bool nullLineBreak)
{
    // The device is away, or the port not yet there: the log shows only
    // what went.
    if (isWaiting() || isConnecting())
        return false;
    const CommandFrame frame = BuildCommandFrame(command, m_endChar, m_customEnd, nullLineBreak);
    const qint64 at = m_log.size();
    if (frame.logLineBreak)
        m_log.AppendLineBreak();
    m_log.Append(frame.logText, SessionLog::Origin::Terminal);
    writeFrame(frame.bytes);
    if (m_serial.IsOpen())
        m_transactions.CommandSent(command, at);
    emit commandSent(frame.bytes);
    if (m_endChar == END_NULL && m_serial.IsOpen()) {
        m_echoCommand = command;
        m_echoFrom = m_log.size();
        m_echoGeneration = m_log.generation();
        m_echoTimer.start();
    } else {
        m_echoTimer.stop();
    }
    return true;
}

void TerminalSession::checkEcho()
{
    if (!m_serial.IsOpen() || m_log.generation() != m_echoGeneration || m_log.size() < m_echoFrom)
        return;
    // An echo is the command and a line end or two; anything longer is an
    // answer, and is not read back at all.
    const qsizetype received = m_log.size() - m_echoFrom;
    if (received <= m_echoCommand.size() + 16 && IsOnlyEcho(m_echoCommand, m_log.Slice(m_echoFrom, received)))
        emit onlyEchoCameBack(m_echoCommand);
}

bool TerminalSession::startSendAll(qsizetype rowCount, SendAllEngine::CommandAt commandAt)
{
    if (m_sendAll.Active() || isWaiting() || isConnecting())
        return false; // one run at a time, and none without the port
    m_commandAt = std::move(commandAt);
    m_sendAllClock.start();
    m_sendAll.Start(m_flags, rowCount, 0);
    m_sendAllRunning = true;
    emit sendAllStarted();
    // The first poll at once: the first command goes out now.
    pollSendAll();
    return true;
}

void TerminalSession::pollSendAll()
{
    const bool going = m_sendAll.Poll(m_sendAllClock.elapsed(), m_commandAt,
                                      [this](const QByteArray &command) { SendCommandText(command, true); });
    if (going)
        m_sendAllTimer.start();
    else
        stopSendAll();
}

void TerminalSession::stopSendAll()
{
    m_sendAllTimer.stop();
    if (m_sendAll.Active())
        m_sendAll.Stop();
    if (m_sendAllRunning) {
        m_sendAllRunning = false;
        emit sendAllEnded(m_sendAll.Reason());
    }
}

void TerminalSession::setSendAllTiming(int pollMs, qint64 timeLimitMs)
{
    m_sendAllTimer.setInterval(pollMs);
    m_sendAll.SetTimeLimit(timeLimitMs);
}

void TerminalSession::writeFrame(const QByteArray &bytes)
{
    if (!m_pacing.paced() && !m_writer.busy())
        m_serial.Write(bytes.constData(), bytes.size());
    else if (m_serial.IsOpen())
        m_writer.enqueue(bytes, m_pacing);
}

bool TerminalSession::sendBytes(const QByteArray &bytes, const QByteArray &what)
{
    if (!m_serial.IsOpen() || isWaiting())
        return false;
    m_log.AppendLineBreak();
    m_log.Append(LineChangeMark(what.constData(), (QByteArray::number(bytes.size()) + " bytes").constData(),
                                QDateTime::currentDateTime()),
                 SessionLog::Origin::Terminal);
    emit logGrew(true);
    m_echoTimer.stop();
    m_writer.enqueue(bytes, m_pacing);
    return true;
}

void TerminalSession::endPortWork()
{
    stopRepeat();
    m_writer.cancel();
    for (QTimer &pulse : m_pulseTimer)
        pulse.stop();
}

void TerminalSession::applyLine(Line line, bool on)
{
    if (line == Line::Dtr)
        m_serial.SetDtr(on);
    else
        m_serial.SetRts(on);
}

void TerminalSession::setDtr(bool on)
{
    m_dtr = on;
    m_pulseTimer[int(Line::Dtr)].stop();
    applyLine(Line::Dtr, on);
}

void TerminalSession::setRts(bool on)
{
    m_rts = on;
    m_pulseTimer[int(Line::Rts)].stop();
    applyLine(Line::Rts, on);
}

bool TerminalSession::pulseLine(Line line, int ms)
{
    if (!m_serial.IsOpen())
        return false;
    applyLine(line, !(line == Line::Dtr ? m_dtr : m_rts));
    m_pulseTimer[int(line)].start(std::clamp(ms, kPulseMinMs, kPulseMaxMs));
    return true;
}

bool TerminalSession::sendBreak(int ms)
{
    return m_serial.SendBreak(ms);
}

QByteArray TerminalSession::LineChangeMark(const char *line, const char *what, const QDateTime &time)
{
    return QByteArray("----- ") + line + ' ' + what + ' '
           + time.toString(QStringLiteral("hh:mm:ss.zzz")).toLatin1() + " -----\r\n";
}

void TerminalSession::onModemLines(const SerialSession::ModemLines &lines)
{
    if (lines == m_lines)
        return;
    const SerialSession::ModemLines before = std::exchange(m_lines, lines);
    // Marks only for the changes of an open port, not for its lines going
    // dark as it closes.
    if (m_markLineChanges && m_serial.IsOpen()) {
        // What the port received before the change goes before its mark.
        onReceiveReady();
        const QDateTime now = QDateTime::currentDateTime();
        QByteArray marks;
        const auto mark = [&](bool was, bool is, const char *name) {
            if (was != is)
                marks += LineChangeMark(name, is ? "on" : "off", now);
        };
        mark(before.cts, lines.cts, "CTS");
        mark(before.dsr, lines.dsr, "DSR");
        mark(before.dcd, lines.dcd, "DCD");
        mark(before.ri, lines.ri, "RI");
        // A ring that ended before RI was seen on.
        if (lines.rings > before.rings && before.ri == lines.ri && !lines.ri)
            marks += LineChangeMark("RI", "ring", now);
        if (!marks.isEmpty()) {
            m_log.AppendLineBreak();
            m_log.Append(marks, SessionLog::Origin::Terminal);
            emit logGrew(true);
        }
    }
    emit modemLinesChanged(lines);
}

bool TerminalSession::startRepeat(const QByteArray &command, bool nullLineBreak, int intervalMs)
{
    if (!m_serial.IsOpen() || isWaiting())
        return false;
    m_repeatCommand = command;
    m_repeatNullLineBreak = nullLineBreak;
    m_repeatTimer.start(std::clamp(intervalMs, kRepeatMinMs, kRepeatMaxMs));
    SendCommandText(command, nullLineBreak);
    return true;
}

void TerminalSession::stopRepeat()
{
    if (!m_repeatTimer.isActive())
        return;
    m_repeatTimer.stop();
    emit repeatEnded();
}
