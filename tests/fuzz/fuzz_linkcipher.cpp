// The link decipherer on any text and any room: it never writes past the
// room given, writes 8 bytes a group, and when it reports a zero byte the
// output ends at the first zero it wrote.
#include "shell/linkcipher.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {
void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const qsizetype capacity = in.ConsumeIntegralInRange<qsizetype>(0, 600);
    const bool letters = in.ConsumeBool();
    std::string text = in.ConsumeRemainingBytesAsString();
    if (letters) {
        // Mostly valid texts, so that deciphering is reached.
        for (char &c : text)
            c = char('A' + (uint8_t(c) % 26));
        text.resize(text.size() / 16 * 16);
    }
    constexpr char kGuard = char(0xA5);
    std::vector<char> out(size_t(capacity) + 64, kGuard);
    const bool ok = LinkCipher("Qrv#1.02").DecipherLink(QByteArray(text.data(), qsizetype(text.size())), out.data(),
                                                          capacity);
    for (size_t i = size_t(capacity); i < out.size(); ++i)
        Check(out[i] == kGuard);
    if (ok) {
        const void *zero = std::memchr(out.data(), 0, size_t(capacity));
        Check(zero != nullptr);
        const size_t end = size_t(static_cast<const char *>(zero) - out.data());
        for (size_t i = end + 1; i < size_t(capacity); ++i)
            Check(out[i] == kGuard);
    }
    return 0;
}
