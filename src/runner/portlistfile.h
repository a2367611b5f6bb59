#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// A file listing the ports of a run, one a line: device paths, names under
// /dev, "Simulated module", socket:// and rfc2217:// addresses (a rack spread
// over several bench computers). Blank lines and lines starting with '#' are
// skipped; blanks around a name are not part of it. UTF-8, with or without
// a byte-order mark, LF or CR LF.
QStringList ParsePortList(const QByteArray &text);

// The ports in the file at path; false, with *error saying why, when it
// cannot be read or lists no port.
bool ReadPortListFile(const QString &path, QStringList *ports, QString *error);
