#pragma once

#include <QString>

// The temporary files without a name (or, on Windows, deleted when closed)
// that this process holds open in `folder`, cut to `size` bytes: as a disk
// that loses what they held would leave them. Returns how many were cut.
int TruncateSpillFiles(const QString &folder, qsizetype size);
