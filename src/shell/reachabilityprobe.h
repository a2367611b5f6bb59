#pragma once

#include "shell/reachability.h"

#include <QByteArray>
#include <QString>

// The system's part of a reachability check, one implementation for each:
// resolves host and connects to port on each of its addresses in turn, all
// within timeoutMs; blocks (it runs on a thread of its own). *detail gets
// the system's words for a failure.
ReachabilityCheck::Outcome ProbeHost(const QByteArray &host, const QByteArray &port, int timeoutMs, QString *detail);
