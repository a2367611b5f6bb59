#include "serial/modemlinewatch.h"

#include <QMetaObject>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <thread>

#include <linux/serial.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace {

// The signal that takes the waiting thread out of the driver's wait: a
// real-time one nothing else here uses, its handler doing nothing and
// installed without SA_RESTART, so that the wait ends with EINTR.
int WakeSignal()
{
    static const int sig = [] {
        const int s = SIGRTMIN + 4;
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(s, &action, nullptr);
        return s;
    }();
    return sig;
}

bool ReadLines(int fd, ModemLineWatch::Lines *lines, quint32 *rings)
{
    int bits = 0;
    serial_icounter_struct counts {};
    if (::ioctl(fd, TIOCMGET, &bits) != 0 || ::ioctl(fd, TIOCGICOUNT, &counts) != 0)
        return false;
    lines->cts = bits & TIOCM_CTS;
    lines->dsr = bits & TIOCM_DSR;
    lines->dcd = bits & TIOCM_CD;
    lines->ri = bits & TIOCM_RNG;
    *rings = quint32(counts.rng);
    return true;
}

} // namespace

struct ModemLineWatch::Impl
{
    std::thread thread;
    std::atomic<bool> stopping { false };
    std::atomic<bool> done { true };
    mutable std::mutex mutex;
    Lines lines;        // under mutex
    quint32 ringsAtStart = 0;
};

ModemLineWatch::ModemLineWatch(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Impl>())
{
}

ModemLineWatch::~ModemLineWatch()
{
    stop();
}

bool ModemLineWatch::start(qintptr handle)
{
    stop();
    const int fd = int(handle);
    Lines now;
    quint32 rings = 0;
    if (fd < 0 || !ReadLines(fd, &now, &rings))
        return false;
    {
        std::lock_guard lock(d->mutex);
        d->lines = now;
        d->ringsAtStart = rings;
    }
    WakeSignal();
    d->stopping = false;
    d->done = false;
    d->thread = std::thread([this, fd] {
        sigset_t wake;
        sigemptyset(&wake);
        sigaddset(&wake, WakeSignal());
        pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
        while (!d->stopping) {
            if (::ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG) != 0) {
                if (errno == EINTR)
                    continue;
                // No wait in this driver, or the device went: told once.
                QMetaObject::invokeMethod(this, [this] { emit ended(); }, Qt::QueuedConnection);
                break;
            }
            Lines lines;
            quint32 rings = 0;
            if (!ReadLines(fd, &lines, &rings))
                continue;
            {
                std::lock_guard lock(d->mutex);
                lines.rings = rings - d->ringsAtStart;
                d->lines = lines;
            }
            QMetaObject::invokeMethod(this, [this, lines] { emit changed(lines); }, Qt::QueuedConnection);
        }
        d->done = true;
    });
    return true;
}

void ModemLineWatch::stop()
{
    if (!d->thread.joinable())
        return;
    d->stopping = true;
    // A signal that comes just before the thread enters the wait is lost,
    // so it is sent until the thread has ended.
    while (!d->done) {
        pthread_kill(d->thread.native_handle(), WakeSignal());
        for (int i = 0; i < 10 && !d->done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    d->thread.join();
}

bool ModemLineWatch::watching() const
{
    return d->thread.joinable() && !d->done;
}

ModemLineWatch::Lines ModemLineWatch::lines() const
{
    std::lock_guard lock(d->mutex);
    return d->lines;
}
