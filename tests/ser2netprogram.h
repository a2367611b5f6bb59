#pragma once

// Finding ser2net and its ports, for the tests and the benchmarks that start
// one: never the system's configuration (it serves /dev/ttyS0), always one
// of their own on 127.0.0.1.

#include <QStandardPaths>
#include <QString>
#include <QTcpServer>

inline QString Ser2netProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"), QStringLiteral("/sbin")});
}

// A TCP port on 127.0.0.1 that nothing listens on now.
inline quint16 FreeLocalPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// Whether something listens on port of 127.0.0.1. Told without connecting:
// a client makes ser2net open the device, and it lets it go only a while
// after the client left, so a connection just after would find the device
// in use.
inline bool ListensOn(quint16 port)
{
    QTcpServer probe;
    return !probe.listen(QHostAddress::LocalHost, port) && probe.serverError() == QAbstractSocket::AddressInUseError;
}
