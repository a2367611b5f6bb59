#pragma once

// What the network-port tests share: the settings they open with, and
// reading a session until enough has come.

#include "serial/serialsession.h"

#include <QElapsedTimer>
#include <QTest>

inline SerialSettings NetworkSettings(const QString &name)
{
    SerialSettings s;
    s.portName = name;
    s.baudRate = 115200;
    return s;
}

// What the session gives until n bytes came or ms passed, the event loop
// running meanwhile.
inline QByteArray ReadSession(SerialSession &session, qsizetype n, int ms = 3000)
{
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < n && clock.elapsed() < ms) {
        QTest::qWait(5);
        char buffer[4096];
        qint64 k;
        while ((k = session.Read(buffer, sizeof buffer)) > 0)
            got.append(buffer, k);
    }
    return got;
}
