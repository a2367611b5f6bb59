// libFuzzer target for the shown text of a command and the bytes of an edit:
// any bytes in. The unchanged text gives the bytes back; a character typed
// between two shown pieces lands between their bytes, whatever the bytes
// around it; any other edit of the text is taken without fault.
#include "commands/commandtext.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

namespace {

void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks where to edit, the rest is the command.
    const uint8_t pick = data[0];
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QString shown = CommandDisplayText(bytes);
    Check(EditedCommandBytes(bytes, shown) == bytes);

    const qsizetype k = bytes.isEmpty() ? 0 : pick % (bytes.size() + 1);
    const QString left = CommandDisplayText(bytes.left(k));
    const QString right = CommandDisplayText(bytes.mid(k));
    if (left + right == shown) { // k is where one shown piece ends
        Check(EditedCommandBytes(bytes, left + u'Z' + right) == bytes.left(k) + 'Z' + bytes.mid(k));
    }
    // A cut of the shown text, even inside a "\xHH": whole pieces keep their
    // bytes, the cut piece's remaining characters become text (at most 3).
    const qsizetype at = shown.isEmpty() ? 0 : pick % (shown.size() + 1);
    const QByteArray cut = EditedCommandBytes(bytes, shown.left(at));
    Check(cut.size() <= bytes.size() + 3);
    return 0;
}
