// libFuzzer target for hex text read from a file to send: any bytes in.
// What parses has exactly half as many bytes as the text has hex digits and
// turns back into those digits; what does not parse says why, and then the
// text has a character that is no hex digit or whitespace, or an odd count
// of digits.
#include "at/commandframe.h"

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
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    QByteArray digits;
    bool foreign = false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))
            digits += char(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
        else
            foreign = true;
    }
    QString why;
    const auto bytes = HexTextToBytes(text, &why);
    if (bytes) {
        Check(!foreign && digits.size() % 2 == 0);
        Check(bytes->toHex() == digits);
    } else {
        Check(!why.isEmpty());
        Check(foreign || digits.size() % 2 == 1);
    }
    return 0;
}
