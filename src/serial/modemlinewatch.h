#pragma once

#include "serial/porttransport.h"

#include <QObject>

#include <memory>

// The status lines of an open local device as its driver tells their
// changes. On Linux a thread of its own waits in the driver's line-change
// wait (TIOCMIWAIT), then reads the lines (TIOCMGET) and the rings the
// driver counted (TIOCGICOUNT); nothing runs while nothing changes. A device
// whose driver keeps no such count (a pty, many virtual ports) tells none.
// On Windows none yet: QSerialPort owns the port's event mask there.
class ModemLineWatch : public QObject
{
    Q_OBJECT
public:
    using Lines = PortTransport::ModemLines;

    explicit ModemLineWatch(QObject *parent = nullptr);
    ~ModemLineWatch() override;

    // Starts watching the open device handle (a file descriptor); false,
    // watching nothing, when its driver tells no lines.
    bool start(qintptr handle);
    // Ends the watch; returns once its thread has ended. Before the device
    // is closed.
    void stop();
    bool watching() const;
    // The lines as last told, the rings counted since start.
    Lines lines() const;

signals:
    void changed(const PortTransport::ModemLines &lines);
    // The driver stopped telling (its wait failed): no more lines.
    void ended();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
