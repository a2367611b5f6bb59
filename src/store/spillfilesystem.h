#pragma once

#include <QString>
#include <QtGlobal>

// What SpillFile needs of the system, one implementation for each: a file
// with no name that goes with the process however it ends, positioned reads
// and writes, and a word on what was written.
namespace spillfs {

// The folder such files are made in.
QString TemporaryFolder();
// A descriptor for a new nameless file in folder, or -1 with *why set.
int OpenNameless(const QString &folder, QString *why);
// All n bytes at offset at, or false with *why set.
bool WriteAt(int file, const char *data, qint64 n, qint64 at, QString *why);
bool ReadAt(int file, char *data, qint64 n, qint64 at, QString *why);
// Called after n bytes were written at offset at (pages of pageSize).
void Written(int file, qint64 at, qint64 n, qint64 pageSize);
void Close(int file);

} // namespace spillfs
