#include "serial/devicewatch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSocketNotifier>

#include <sys/inotify.h>
#include <unistd.h>

struct DeviceWatch::Platform
{
    int fd = -1;
    QSocketNotifier *notifier = nullptr;
    QHash<int, QString> watches; // watch descriptor -> folder actually watched

    ~Platform()
    {
        delete notifier;
        if (fd >= 0)
            ::close(fd);
    }

    void discardPending()
    {
        alignas(inotify_event) char buffer[4096];
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
    }

    // Adds a watch on each folder, or on its nearest existing folder above
    // when it is missing; already watched folders keep their watch.
    void arm(const QStringList &folders)
    {
        const uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF
            | IN_MOVE_SELF;
        for (const QString &folder : folders) {
            QString dir = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
            while (!QFileInfo(dir).isDir() && dir != QLatin1String("/"))
                dir = QFileInfo(dir).path();
            const int wd = ::inotify_add_watch(fd, QFile::encodeName(dir).constData(), mask);
            if (wd >= 0)
                watches.insert(wd, dir); // the same folder twice gives the same descriptor
        }
    }

    // Reads every pending notice; true when there was any.
    bool readNotices(const QStringList &folders)
    {
        alignas(inotify_event) char buffer[4096];
        bool any = false;
        bool rearm = false;
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
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
                    watches.remove(event->wd);
            }
        }
        if (rearm)
            arm(folders);
        return any;
    }
};

DeviceWatch::DeviceWatch(QObject *parent)
    : QObject(parent)
    , m_platform(std::make_unique<Platform>())
{
}

DeviceWatch::~DeviceWatch() = default;

void DeviceWatch::watch(const QStringList &folders)
{
    Platform &p = *m_platform;
    m_folders = folders;
    if (p.fd < 0 && !folders.isEmpty()) {
        p.fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (p.fd < 0)
            return;
        p.notifier = new QSocketNotifier(p.fd, QSocketNotifier::Read, this);
        connect(p.notifier, &QSocketNotifier::activated, this, [this] {
            if (m_platform->readNotices(m_folders))
                emit changed();
        });
    }
    if (p.fd < 0)
        return;
    for (auto it = p.watches.cbegin(); it != p.watches.cend(); ++it)
        ::inotify_rm_watch(p.fd, it.key());
    p.watches.clear();
    // What the old watches said (and their removal) is no news for the new
    // folders: whoever watches looks once the watch is set.
    p.discardPending();
    p.notifier->setEnabled(!folders.isEmpty());
    if (!folders.isEmpty())
        p.arm(folders);
}

bool DeviceWatch::isWatching() const
{
    return m_platform->fd >= 0 && !m_folders.isEmpty();
}
