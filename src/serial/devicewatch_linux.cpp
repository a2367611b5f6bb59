#include "serial/devicewatch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <sys/inotify.h>
#include <unistd.h>

DeviceWatch::DeviceWatch(QObject *parent)
    : QObject(parent)
{
}

DeviceWatch::~DeviceWatch()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

void DeviceWatch::watch(const QStringList &folders)
{
    m_folders = folders;
    if (m_fd < 0 && !folders.isEmpty()) {
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd < 0)
            return;
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &DeviceWatch::onReadable);
    }
    if (m_fd < 0)
        return;
    for (auto it = m_watches.cbegin(); it != m_watches.cend(); ++it)
        ::inotify_rm_watch(m_fd, it.key());
    m_watches.clear();
    // What the old watches said (and their removal) is no news for the new
    // folders: whoever watches looks once the watch is set.
    discardPending();
    m_notifier->setEnabled(!folders.isEmpty());
    if (!folders.isEmpty())
        arm();
}

bool DeviceWatch::isWatching() const
{
    return m_fd >= 0 && !m_folders.isEmpty();
}

void DeviceWatch::discardPending()
{
    alignas(inotify_event) char buffer[4096];
    while (::read(m_fd, buffer, sizeof buffer) > 0) {
    }
}

// Adds a watch on each folder, or on its nearest existing folder above when
// it is missing; already watched folders keep their watch.
void DeviceWatch::arm()
{
    const uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF
        | IN_MOVE_SELF;
    for (const QString &folder : std::as_const(m_folders)) {
        QString dir = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
        while (!QFileInfo(dir).isDir() && dir != QLatin1String("/"))
            dir = QFileInfo(dir).path();
        const int wd = ::inotify_add_watch(m_fd, QFile::encodeName(dir).constData(), mask);
        if (wd >= 0)
            m_watches.insert(wd, dir); // the same folder twice gives the same descriptor
    }
}

void DeviceWatch::onReadable()
{
    alignas(inotify_event) char buffer[4096];
    bool any = false;
    bool rearm = false;
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            any = true;
            // A folder made or gone may be one watched, or on the way to one.
            if (event->mask & (IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))
                rearm = true;
            if (event->mask & IN_IGNORED)
                m_watches.remove(event->wd);
        }
    }
    if (rearm)
        arm();
    if (any)
        emit changed();
}
