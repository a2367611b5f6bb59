#pragma once

#include <QObject>
#include <QStringList>

#include <memory>

// Tells when entries come, go or change in a few folders (/dev,
// /dev/serial/by-id, the folder of a link), from the kernel's inotify
// notices: nothing runs while nothing happens. This covers devices udev
// manages (the kernel makes the node, udev sets its owner and its by-id
// link, each a notice here) and those it does not (ptys, links a simulator
// re-points).
//
// A folder that does not exist yet (/dev/serial/by-id with no USB serial
// device plugged in) is watched through the nearest folder above it that
// does, and itself once it appears.
//
// On Windows there are no such folders: while it watches anything, the
// system's list of ports (names and serial numbers) is looked at when the
// system announces a port's arrival or removal (WM_DEVICECHANGE, to a
// message-only window registered for the COM port interface), and every
// kPollMs for what is not announced (Wine announces nothing, nor do some
// virtual port drivers; a look costs well under a millisecond). A
// difference is a change.
class DeviceWatch : public QObject
{
    Q_OBJECT
public:
    static constexpr int kPollMs = 500;

    explicit DeviceWatch(QObject *parent = nullptr);
    ~DeviceWatch() override;

    // Replaces the watched folders; an empty list stops watching. The
    // kernel's inotify instance is made once and kept: closing one that had
    // watches costs the closing thread up to 100 ms, and a wait ends (the
    // device back, Stop) on the window's thread.
    void watch(const QStringList &folders);
    QStringList folders() const { return m_folders; }
    bool isWatching() const;

signals:
    // Something changed in a watched folder: an entry made, removed,
    // renamed into or out of it, or its attributes changed.
    void changed();

private:
    struct Platform; // the system's side, in devicewatch_<system>.cpp

    QStringList m_folders;
    std::unique_ptr<Platform> m_platform;
};
