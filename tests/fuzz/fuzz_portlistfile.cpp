// The port list of qrvterm-run --port-file: whatever the file holds, every
// name is non-empty, has no blanks around it, is no comment, and lies on a
// line of its own in the input.
#include "runner/portlistfile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    const QStringList ports = ParsePortList(text);
    qsizetype lines = text.count('\n') + 1;
    if (ports.size() > lines)
        std::abort();
    for (const QString &name : ports) {
        if (name.isEmpty() || name != name.trimmed() || name.startsWith(u'#') || name.contains(u'\n'))
            std::abort();
    }
    return 0;
}
