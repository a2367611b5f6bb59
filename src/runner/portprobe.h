#pragma once

#include "runner/systemports.h"
#include "serial/deviceidentity.h"
#include "serial/serialsettings.h"

#include <QByteArray>
#include <QList>
#include <QString>

// "/dev/ttyUSB2  Maker Model, interface 2 (usb-…)": one line of --list.
QByteArray PortListLine(const ListedPort &port);

// What a port said to "AT".
struct ProbeResult
{
    enum class Answer { Ok, Error, Other, Silent, InUse, CannotOpen };
    Answer answer = Answer::Silent;
    QString detail; // the reply's last line, who holds the port, or why it did not open
};

// Sends "AT" and a CR to the port and waits up to timeoutMs for a final
// result. A port another program has open is not touched (InUse).
ProbeResult ProbePort(const SerialSettings &settings, int timeoutMs);
// "/dev/ttyUSB2  OK  Maker Model, interface 2" and the like.
QByteArray ProbeLine(const QString &port, const ProbeResult &result, const QString &identity);
