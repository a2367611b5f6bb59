// The serial line under the engineer's hands, below the window: paced sends
// measured on a pty's wire, a file's bytes exact, repeat and its stop rules,
// and the status lines of the simulated module (RI, DCD in a data call, a
// DTR pulse that ends it) with their marks in the log.

#include "app/simulatedport.h"
#include "at/commandframe.h"
#include "dialogsupport.h"
#include "messageboxcatcher.h"
#include "ptypair.h"
#include "serial/modemlinewatch.h"
#include "session/terminalsession.h"
#include "sim/siminprocessport.h"
#include "widgets/modemlinesstrip.h"

#include <QAccessible>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <poll.h>
#include <unistd.h>

namespace {

struct Arrival
{
    char byte;
    qint64 us;
};

// Reads the terminal's bytes from the pty's master as they come, each with
// the time it was read, until count arrived or timeoutMs passed; the event
// loop runs meanwhile.
QList<Arrival> ReadTimed(PtyPair &pty, qsizetype count, int timeoutMs)
{
    QList<Arrival> got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < count && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        pollfd p { pty.masterFd(), POLLIN, 0 };
        if (::poll(&p, 1, 0) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(pty.masterFd(), buffer, sizeof buffer);
        const qint64 us = clock.nsecsElapsed() / 1000;
        for (ssize_t i = 0; i < n; ++i)
            got.append({ buffer[i], us });
    }
    return got;
}

QByteArray BytesOf(const QList<Arrival> &arrivals)
{
    QByteArray bytes;
    for (const Arrival &a : arrivals)
        bytes += a.byte;
    return bytes;
}

// A session on a fresh pty, the test playing the module on its master.
// Unpack it as `auto &[pty, log, session] = rig;`.
struct PtySession
{
    PtyPair pty;
    SessionLog log;
    TerminalSession session { log };

    bool open()
    {
        SerialSettings settings;
        settings.portName = pty.slavePath();
        settings.baudRate = 115200;
        return pty.isValid() && session.Open(settings) == SerialSession::OpenResult::Opened;
    }
};

} // namespace

class TestLineControl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TerminalDialog::SetPortLister([] { return QStringList(); });
        UseSimulatedModule(0, false, SimulatedModuleLine::InProcess);
    }

    // A pause after each character, the line's pause after each line end,
    // a second command behind the first; every byte as framed.
    void pacedGapsOnTheWire()
    {
        PtySession rig;
        QVERIFY(rig.open());
        auto &[pty, log, session] = rig;
        session.setEndChar(END_CR);
        session.setPacing({ 5, 40 });
        QSignalSpy ended(&session, &TerminalSession::sendingEnded);
        QElapsedTimer sent;
        sent.start();
        QVERIFY(session.SendCommandText("AT+CSQ", true));
        QVERIFY(session.SendCommandText("ATI", true));
        // Both handed over at once; the wire gets them at the pace.
        QVERIFY(session.isSending());
        const qint64 readerStartUs = sent.nsecsElapsed() / 1000;
        const QList<Arrival> got = ReadTimed(pty, 11, 3000);
        QCOMPARE(BytesOf(got), QByteArray("AT+CSQ\rATI\r"));
        // No byte before its pauses are over (a late reader only adds),
        // the whole within a generous bound.
        qint64 dueUs = 0;
        for (qsizetype i = 1; i < got.size(); ++i) {
            dueUs += got[i - 1].byte == '\r' ? 40000 : 5000;
            QVERIFY2(readerStartUs + got[i].us >= dueUs - 1000,
                     qPrintable(QStringLiteral("byte %1 at %2 us, due at %3 us").arg(i).arg(readerStartUs + got[i].us).arg(dueUs)));
        }
        QVERIFY2(got.last().us - got.first().us < dueUs + 500000, qPrintable(QString::number(got.last().us)));
        QTRY_COMPARE(ended.size(), 1);
        QCOMPARE(ended[0][0].toLongLong(), 11);
        QCOMPARE(ended[0][2].toBool(), true);

        // Only a line pause: each line goes whole, then the pause.
        session.setPacing({ 0, 60 });
        QVERIFY(session.sendBytes("AT\rAT\r", "test"));
        const QList<Arrival> lines = ReadTimed(pty, 6, 3000);
        QCOMPARE(BytesOf(lines), QByteArray("AT\rAT\r"));
        QVERIFY2(lines[3].us - lines[2].us >= 59000, qPrintable(QString::number(lines[3].us - lines[2].us)));
        session.Close();
    }

    // A pty has no status lines: its driver has no line-change wait and
    // keeps no counts, so nothing is watched and none is told.
    void aPtyTellsNoLines()
    {
        PtySession rig;
        QVERIFY(rig.open());
        QVERIFY(!rig.session.reportsModemLines());
        ModemLineWatch watch;
        QVERIFY(!watch.start(rig.pty.masterFd()));
        QVERIFY(!watch.start(-1));
        QVERIFY(!watch.watching());
        watch.stop();
    }

    // Stopped part way: what went is told, nothing more reaches the wire;
    // the port's close stops a paced send too.
    void stoppingAPacedSend()
    {
        PtySession rig;
        QVERIFY(rig.open());
        auto &[pty, log, session] = rig;
        session.setPacing({ 20, 0 });
        QSignalSpy ended(&session, &TerminalSession::sendingEnded);
        const QByteArray bytes(50, 'x');
        QVERIFY(session.sendBytes(bytes, "test"));
        QTRY_VERIFY(session.isSending());
        QTest::qWait(150);
        QVERIFY(session.stopSending() > 0);
        QCOMPARE(ended.size(), 1);
        const qint64 went = ended[0][0].toLongLong();
        QCOMPARE(ended[0][1].toLongLong(), 50);
        QCOMPARE(ended[0][2].toBool(), false);
        QVERIFY2(went > 2 && went < 50, qPrintable(QString::number(went)));
        QCOMPARE(pty.readFor(300), QByteArray(int(went), 'x'));

        QVERIFY(session.sendBytes(bytes, "test"));
        QTest::qWait(60);
        session.Close();
        QCOMPARE(ended.size(), 2);
        QCOMPARE(ended[1][2].toBool(), false);
        QVERIFY(!session.isSending());
        QVERIFY(!session.sendBytes(bytes, "test"));
    }

    // A file's bytes, every value, more than one slice: exact on the wire,
    // in order with a command sent while it goes.
    void fileBytesExactOnTheWire()
    {
        PtySession rig;
        QVERIFY(rig.open());
        auto &[pty, log, session] = rig;
        session.setEndChar(END_CR);
        QByteArray file(300 * 1024, 0);
        for (qsizetype i = 0; i < file.size(); ++i)
            file[i] = char(QRandomGenerator::global()->bounded(256));
        QSignalSpy progress(&session, &TerminalSession::sendProgress);
        QSignalSpy ended(&session, &TerminalSession::sendingEnded);
        QVERIFY(session.sendBytes(file, "file data.bin"));
        QVERIFY(session.SendCommandText("AT", true));
        const QByteArray wire = pty.read(int(file.size()) + 3, 10000);
        QCOMPARE(wire.size(), file.size() + 3);
        QVERIFY(wire.first(file.size()) == file);
        QCOMPARE(wire.sliced(file.size()), QByteArray("AT\r"));
        QTRY_COMPARE(ended.size(), 1);
        QCOMPARE(ended[0][2].toBool(), true);
        QVERIFY(progress.size() > 10);
        QVERIFY(log.Slice(0, log.size()).contains("----- file data.bin 307200 bytes "));
        session.Close();
    }

    // Every interval until stopped, the first at once; a close ends it;
    // the interval is kept within its bounds.
    void repeatAndItsStops()
    {
        PtySession rig;
        QVERIFY(!rig.session.startRepeat("AT", true, 100));
        QVERIFY(rig.open());
        auto &[pty, log, session] = rig;
        session.setEndChar(END_CR);
        QSignalSpy ended(&session, &TerminalSession::repeatEnded);
        QElapsedTimer started;
        started.start();
        QVERIFY(session.startRepeat("AT+CSQ", true, 10)); // 100 ms at least
        QVERIFY(session.isRepeating());
        const qint64 readerStartUs = started.nsecsElapsed() / 1000;
        const QList<Arrival> got = ReadTimed(pty, 7 * 4, 3000);
        QCOMPARE(BytesOf(got), QByteArray("AT+CSQ\r").repeated(4));
        // Each send no sooner than its interval (a late reader only adds).
        for (int i = 1; i < 4; ++i)
            QVERIFY2(readerStartUs + got[i * 7].us >= i * 99000, qPrintable(QString::number(got[i * 7].us)));
        session.stopRepeat();
        QCOMPARE(ended.size(), 1);
        QCOMPARE(pty.readFor(250), QByteArray());

        QVERIFY(session.startRepeat("AT", true, 100));
        QCOMPARE(pty.read(3), QByteArray("AT\r"));
        session.Close();
        QCOMPARE(ended.size(), 2);
        QVERIFY(!session.isRepeating());
    }

    // The simulated module's lines through a session: RI for a RING, DCD for
    // a data call that "+++" ends, a DTR pulse that ends the next one; each
    // change marked in the log when marking is on, and only then.
    void statusLinesOfTheSimulatedModule()
    {
        SimInProcessPort module(QStringLiteral("sim:linecontrol"));
        module.start();
        SessionLog log;
        TerminalSession session(log);
        SerialSettings settings;
        settings.portName = module.name();
        settings.baudRate = 115200;
        settings.dtrHandshake = true;
        session.setMarkLineChanges(true);
        QCOMPARE(session.Open(settings), SerialSession::OpenResult::Opened);
        session.setMarkLineChanges(false);
        QVERIFY(session.reportsModemLines());
        QVERIFY(session.modemLines().cts && session.modemLines().dsr && !session.modemLines().dcd);
        session.setEndChar(END_CR);
        const auto logText = [&] { return log.Slice(0, log.size()); };

        QVERIFY(session.SendCommandText("AT+QSIMURC=10,\"RING\"", true));
        QTRY_COMPARE_WITH_TIMEOUT(session.modemLines().rings, 1u, 4000);
        QVERIFY(!logText().contains("----- "));

        session.setMarkLineChanges(true);
        QVERIFY(session.SendCommandText("ATD*99#", true));
        QTRY_VERIFY(session.modemLines().dcd);
        // The carrier's mark after the CONNECT it came with.
        QVERIFY(QRegularExpression(QStringLiteral("\r\nCONNECT\r\n(\r\n)?----- DCD on \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d -----\r\n"))
                    .match(QString::fromLatin1(logText()))
                    .hasMatch());
        session.setEndChar(END_NULL);
        QVERIFY(session.SendCommandText("+++", false));
        QTRY_VERIFY(!session.modemLines().dcd);
        QVERIFY(QRegularExpression(QStringLiteral("NO CARRIER\r\n(\r\n)?----- DCD off "))
                    .match(QString::fromLatin1(logText()))
                    .hasMatch());

        session.setEndChar(END_CR);
        QVERIFY(session.SendCommandText("ATD*99***1#", true));
        QTRY_VERIFY(session.modemLines().dcd);
        const qsizetype before = logText().count("NO CARRIER");
        // DTR is up (the box): the pulse drops it, which ends the call.
        QVERIFY(session.pulseLine(TerminalSession::Line::Dtr, 100));
        QTRY_VERIFY(!session.modemLines().dcd);
        QTRY_COMPARE(logText().count("NO CARRIER"), before + 1);

        QVERIFY(session.SendCommandText("AT+QSIMURC=10,\"RING\"", true));
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains("----- RI off "), 4000);
        QVERIFY(logText().indexOf("----- RI on ") < logText().indexOf("----- RI off "));
        QCOMPARE(session.modemLines().rings, 2u);
        // Closed, the lamps go dark, unmarked.
        QSignalSpy lines(&session, &TerminalSession::modemLinesChanged);
        const qsizetype marks = logText().count("----- ");
        session.Close();
        QCOMPARE(lines.size(), 1);
        QVERIFY(!session.reportsModemLines());
        QCOMPARE(logText().count("----- "), marks);
        QVERIFY(!session.pulseLine(TerminalSession::Line::Rts, 100));
    }

    // The window: the strip is off until asked for, then its lamps follow
    // the module (RI for a ring, DCD for a data call) and tell accessibility;
    // the DTR box acts at once while open (its drop ends the call).
    void lampsAndTheDtrBoxInTheWindow_data()
    {
        QTest::addColumn<bool>("onPty");
        QTest::newRow("in process") << false;
        QTest::newRow("on a pty") << true;
    }
    void lampsAndTheDtrBoxInTheWindow()
    {
        QFETCH(bool, onPty);
        UseSimulatedModule(0, false, onPty ? SimulatedModuleLine::Pty : SimulatedModuleLine::InProcess);
        const auto restore = qScopeGuard([] { UseSimulatedModule(0, false, SimulatedModuleLine::InProcess); });
        SessionLog log;
        TerminalDialog d(log);
        d.SelectPort(TerminalDialog::kSimulatedPortName);
        FindControl<QRadioButton>(d, "endCrRadio")->setChecked(true);
        FindControl<QCheckBox>(d, "dtrCheck")->setChecked(true);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        ModemLinesStrip *strip = d.modemLinesStrip();
        QVERIFY(!strip->isVisible());
        FindControl<QPushButton>(d, "startStopButton")->click();
        QVERIFY(d.Session().isOpen());
        QVERIFY(!strip->isVisible());
        d.lineAction(QStringLiteral("modemLinesAction"))->trigger();
        QVERIFY(strip->isVisible());
        QVERIFY(strip->reported());
        QVERIFY(strip->lampOn(ModemLinesStrip::Cts) && strip->lampOn(ModemLinesStrip::Dsr));
        QVERIFY(!strip->lampOn(ModemLinesStrip::Dcd));
        QCOMPARE(strip->accessibleDescription(), QStringLiteral("CTS on, DSR on, DCD off, RI off, 0 rings"));
        QAccessibleInterface *lamp = QAccessible::queryAccessibleInterface(strip->findChild<QWidget *>("lampRI"));
        QVERIFY(lamp);
        QCOMPARE(lamp->text(QAccessible::Name), QStringLiteral("RI"));
        QCOMPARE(lamp->text(QAccessible::Description), QStringLiteral("off"));

        auto *edit = FindControl<QLineEdit>(d, "commandEdit");
        const auto send = [&](const QString &command) {
            edit->setText(command);
            FindControl<QPushButton>(d, "sendButton")->click();
        };
        send(QStringLiteral("AT+QSIMURC=10,\"RING\""));
        QTRY_VERIFY_WITH_TIMEOUT(strip->lampOn(ModemLinesStrip::Ri), 3000);
        QCOMPARE(lamp->text(QAccessible::Description), QStringLiteral("on"));
        QTRY_VERIFY_WITH_TIMEOUT(!strip->lampOn(ModemLinesStrip::Ri), 3000);
        QCOMPARE(strip->accessibleDescription(), QStringLiteral("CTS on, DSR on, DCD off, RI off, 1 ring"));

        send(QStringLiteral("ATD*99#"));
        QTRY_VERIFY(strip->lampOn(ModemLinesStrip::Dcd));
        FindControl<QCheckBox>(d, "dtrCheck")->setChecked(false);
        QTRY_VERIFY(!strip->lampOn(ModemLinesStrip::Dcd));
        QTRY_VERIFY(log.Text().contains("NO CARRIER"));
        // Nothing marked: marking was not asked for.
        QVERIFY(!log.Text().contains("----- DCD"));

        FindControl<QPushButton>(d, "startStopButton")->click();
        QVERIFY(!strip->reported());
        QCOMPARE(strip->accessibleDescription(), QStringLiteral("The port tells no modem lines"));
    }

    // Send File and Send Hex File from the window: the bytes exact on a
    // pty's wire; hex text that is not, an unreadable file, and a closed
    // port are told and send nothing.
    void filesFromTheWindow()
    {
        PtyDialog rig;
        auto &[pty, log, d] = rig;
        QVERIFY(d.Session().isOpen());
        QTemporaryDir dir;
        const auto write = [&](const QString &name, const QByteArray &bytes) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bytes);
        };
        QByteArray binary;
        for (int i = 0; i < 256 * 8; ++i)
            binary += char(i * 7);
        write(QStringLiteral("data.bin"), binary);
        write(QStringLiteral("pdu.hex"), "41 54 0d\r\n00ff 7E\n");
        write(QStringLiteral("bad.hex"), "41 54 0X");
        QVERIFY(d.SendFile(dir.filePath(QStringLiteral("data.bin")), false));
        QCOMPARE(pty.read(int(binary.size()), 5000), binary);
        QVERIFY(d.SendFile(dir.filePath(QStringLiteral("pdu.hex")), true));
        QCOMPARE(pty.read(6), QByteArray("AT\r\x00\xff\x7e", 6));
        QTRY_VERIFY(!d.Session().isSending());

        MessageBoxCatcher boxes;
        QVERIFY(!d.SendFile(dir.filePath(QStringLiteral("bad.hex")), true));
        QVERIFY(!d.SendFile(dir.filePath(QStringLiteral("missing.bin")), false));
        QCOMPARE(boxes.texts.size(), 2);
        QVERIFY2(boxes.texts[0].contains(QStringLiteral("byte 8 (0x58) is not a hex digit")), qPrintable(boxes.texts[0]));
        QVERIFY(boxes.texts[1].startsWith(QStringLiteral("Cannot read ")));
        QCOMPARE(pty.readFor(200), QByteArray());
        // Paced, then Stop (the port's): the bar says how much went.
        d.SetPacing(50, 0);
        FindControl<QRadioButton>(d, "endCrRadio")->setChecked(true);
        FindControl<QLineEdit>(d, "commandEdit")->setText(QStringLiteral("AT+CSQ"));
        FindControl<QPushButton>(d, "sendButton")->click();
        QTest::qWait(120);
        rig.ClickStartStop();
        const QString told = FindControl<QStatusBar>(d, "statusBar")->currentMessage();
        QVERIFY2(QRegularExpression(QStringLiteral("^Stopped sending: [1-6] of 7 bytes went$")).match(told).hasMatch(),
                 qPrintable(told));
        QVERIFY(!d.SendFile(dir.filePath(QStringLiteral("data.bin")), false));
        QCOMPARE(boxes.texts.size(), 2);
    }

    // Repeat from the window: the box's command on its interval, stopped by
    // editing the box, and by Esc (Stop Sending).
    void repeatFromTheWindow()
    {
        PtyDialog rig;
        auto &[pty, log, d] = rig;
        FindControl<QRadioButton>(d, "endCrRadio")->setChecked(true);
        auto *edit = FindControl<QLineEdit>(d, "commandEdit");
        QVERIFY(!d.StartRepeat(200)); // nothing typed
        edit->setText(QStringLiteral("AT+CSQ"));
        QVERIFY(d.StartRepeat(100));
        QVERIFY(d.lineAction(QStringLiteral("repeatAction"))->isChecked());
        QCOMPARE(pty.read(7 * 3, 2000), QByteArray("AT+CSQ\r").repeated(3));
        QTest::keyClick(edit, Qt::Key_X);
        QVERIFY(!d.Session().isRepeating());
        QVERIFY(!d.lineAction(QStringLiteral("repeatAction"))->isChecked());
        pty.readFor(150);

        edit->setText(QStringLiteral("AT"));
        QVERIFY(d.StartRepeat(100));
        QVERIFY(d.lineAction(QStringLiteral("stopSendingAction"))->isEnabled());
        QTest::keyClick(edit, Qt::Key_Escape);
        QVERIFY(!d.Session().isRepeating());
        QVERIFY(!d.lineAction(QStringLiteral("stopSendingAction"))->isEnabled());
        pty.readFor(150);
        QCOMPARE(pty.readFor(300), QByteArray());
    }
};

QTEST_MAIN(TestLineControl)
#include "test_linecontrol.moc"
