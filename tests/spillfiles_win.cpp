#include "spillfiles.h"

#include <QDir>

#include <windows.h>

// The files keep the system's temporary names (qrv*.tmp) until their last
// handle closes. The program's own handle allows deletion, so another handle
// must share delete access as well as reading and writing.
int TruncateSpillFiles(const QString &folder, qsizetype size)
{
    int cut = 0;
    const QDir dir(folder);
    for (const QString &name : dir.entryList({ QStringLiteral("qrv*.tmp") }, QDir::Files | QDir::System | QDir::Hidden)) {
        const std::wstring path = QDir::toNativeSeparators(dir.filePath(name)).toStdWString();
        const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        LARGE_INTEGER at;
        at.QuadPart = size;
        if (::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(file))
            ++cut;
        ::CloseHandle(file);
    }
    return cut;
}
