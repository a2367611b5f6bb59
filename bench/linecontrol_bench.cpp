// The serial line under the user's hands, measured: how soon a status line's
// change shows on its lamp, how exact paced sends are on the wire, and what
// the lamps cost while nothing changes.
//
//   build/bench/linecontrol_bench [rounds]
//       1. The simulated module (in process) raises RI for a message
//          (+CMTI, a 120 ms pulse), `rounds` (100) times: the time from its
//          raising RI to the window's RI lamp painted on.
//       2. An RFC 2217 server (the tests' double) sends NOTIFY-MODEMSTATE
//          with RI on, then off, `rounds` times: the time from the notice
//          written on the server's socket to the lamp painted.
//       3. Paced sends on a pty: 201 bytes at a character delay of 1, 5 and
//          20 ms, each byte timed as the pty's master reads it (a thread of
//          its own waiting in poll): the median and worst error of the 200
//          gaps against the delay.
//       4. The window open on the simulated module for 10 s with nothing
//          happening, the lamps shown and then hidden: the CPU time the
//          process took.
#include "app/simulatedport.h"
#include "console/terminaldialog.h"
#include "cputime.h"
#include "ptypair.h"
#include "rfc2217double.h"
#include "sim/siminprocessport.h"
#include "widgets/modemlinesstrip.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

// The time from a mark to the RI lamp's next paint in the wanted state.
class LampWatch : public QObject
{
public:
    LampWatch(ModemLinesStrip *strip)
        : m_strip(strip)
        , m_lamp(strip->findChild<QLabel *>(QStringLiteral("lampRI")))
    {
        m_lamp->installEventFilter(this);
        m_clock.start();
    }
    void arm(bool on)
    {
        m_want = on;
        m_paintedNs = -1;
        m_markNs = m_clock.nsecsElapsed();
    }
    // Milliseconds from arm() to the paint, or -1 when it did not come
    // within ms.
    double wait(int ms)
    {
        QElapsedTimer t;
        t.start();
        while (m_paintedNs < 0 && t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        return m_paintedNs < 0 ? -1 : double(m_paintedNs - m_markNs) / 1e6;
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && m_paintedNs < 0 && m_strip->lampOn(ModemLinesStrip::Ri) == m_want)
            m_paintedNs = m_clock.nsecsElapsed();
        return false;
    }

private:
    ModemLinesStrip *m_strip;
    QLabel *m_lamp;
    QElapsedTimer m_clock;
    bool m_want = true;
    qint64 m_markNs = 0;
    qint64 m_paintedNs = -1;
};

void PrintStats(const char *what, QList<double> values)
{
    std::sort(values.begin(), values.end());
    if (values.isEmpty()) {
        std::printf("%s: no samples\n", what);
        return;
    }
    std::printf("%s: median %.2f ms, worst %.2f ms (%lld samples)\n", what, values[values.size() / 2], values.last(),
                qlonglong(values.size()));
}

// A window on port, started, its lamps shown.
std::unique_ptr<TerminalDialog> WindowOn(SessionLog &log, const QString &port)
{
    auto d = std::make_unique<TerminalDialog>(log);
    d->SelectPort(port);
    d->show();
    d->findChild<QPushButton *>(QStringLiteral("startStopButton"))->click();
    d->lineAction(QStringLiteral("modemLinesAction"))->trigger();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 300)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return d;
}

void SimulatedModuleLamp(int rounds)
{
    SimInProcessPort module(QStringLiteral("sim:lamps"));
    module.start();
    SessionLog log;
    auto d = WindowOn(log, module.name());
    if (!d->Session().isOpen()) {
        std::printf("simulated module did not open\n");
        return;
    }
    LampWatch watch(d->modemLinesStrip());
    QList<double> on;
    for (int i = 0; i < rounds; ++i) {
        watch.arm(true);
        module.sendUnsolicited("\r\n+CMTI: \"SM\",1\r\n");
        on << watch.wait(2000);
        // The pulse ends on the module's own timer, then the next.
        watch.arm(false);
        watch.wait(2000);
    }
    on.removeAll(-1);
    PrintStats("simulated module RI on -> lamp painted", on);
}

void Rfc2217Lamp(int rounds)
{
    Rfc2217Double server;
    SessionLog log;
    auto d = WindowOn(log, server.url());
    if (!d->Session().isOpen()) {
        std::printf("rfc2217 port did not open\n");
        return;
    }
    LampWatch watch(d->modemLinesStrip());
    QList<double> samples;
    for (int i = 0; i < rounds * 2; ++i) {
        const bool ri = i % 2 == 0;
        watch.arm(ri);
        server.client->write(QByteArray("\xFF\xFA\x2C\x6B", 4) + char(ri ? 0xF0 : 0xB4) + QByteArray("\xFF\xF0"));
        server.client->flush();
        samples << watch.wait(2000);
    }
    samples.removeAll(-1);
    PrintStats("RFC 2217 modem-state notice -> lamp painted", samples);
}

void PacedGaps()
{
    for (int delay : {1, 5, 20}) {
        PtyPair pty;
        SessionLog log;
        TerminalSession session(log);
        SerialSettings settings;
        settings.portName = pty.slavePath();
        settings.baudRate = 115200;
        if (session.Open(settings) != SerialSession::OpenResult::Opened) {
            std::printf("pty did not open\n");
            return;
        }
        session.setPacing({delay, 0});
        const int count = 201;
        // The wire is read on a thread of its own, waiting in poll, so that
        // each byte is timed as it comes, apart from the window's thread.
        QList<qint64> at;
        std::thread reader([&] {
            QElapsedTimer clock;
            clock.start();
            while (at.size() < count && clock.elapsed() < 20000) {
                pollfd p {pty.masterFd(), POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0)
                    continue;
                char buffer[512];
                const ssize_t n = ::read(pty.masterFd(), buffer, sizeof buffer);
                const qint64 us = clock.nsecsElapsed() / 1000;
                for (ssize_t i = 0; i < n; ++i)
                    at << us;
            }
        });
        session.sendBytes(QByteArray(count, 'x'), "bench");
        // Handed over is not yet written: the port's buffer empties on the
        // event loop.
        while (session.isSending() || session.serial().BytesToWrite() > 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        reader.join();
        QList<double> errors;
        int together = 0;
        for (qsizetype i = 1; i < at.size(); ++i) {
            errors << double(at[i] - at[i - 1]) / 1000.0 - delay;
            together += at[i] == at[i - 1];
        }
        std::sort(errors.begin(), errors.end());
        QList<double> absolute;
        for (double e : errors)
            absolute << std::abs(e);
        std::sort(absolute.begin(), absolute.end());
        std::printf("paced %2d ms: %lld gaps, error median %+.3f ms, worst early %+.3f ms, worst late %+.3f ms, "
                    "|error| median %.3f ms, %d bytes read together\n",
                    delay, qlonglong(errors.size()), errors[errors.size() / 2], errors.first(), errors.last(),
                    absolute[absolute.size() / 2], together);
        session.Close();
    }
}

void IdleCpu()
{
    SimInProcessPort module(QStringLiteral("sim:idle"));
    module.start();
    SessionLog log;
    auto d = WindowOn(log, module.name());
    for (bool shown : {true, false}) {
        d->modemLinesStrip()->setVisible(shown);
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 500)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        const double cpu0 = ProcessCpuSeconds();
        QElapsedTimer t;
        t.start();
        QEventLoop idle;
        QTimer::singleShot(10000, &idle, &QEventLoop::quit);
        idle.exec();
        const double cpu = ProcessCpuSeconds() - cpu0;
        std::printf("idle 10 s, lamps %s: %.1f ms of CPU (%.3f %% of a core)\n", shown ? "shown" : "hidden",
                    cpu * 1000, cpu * 100 / (double(t.elapsed()) / 1000));
    }
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 100;
    TerminalDialog::SetPortLister([] { return QStringList(); });
    UseSimulatedModule(0, false, SimulatedModuleLine::InProcess);
    SimulatedModuleLamp(rounds);
    Rfc2217Lamp(rounds);
    PacedGaps();
    IdleCpu();
    return 0;
}
