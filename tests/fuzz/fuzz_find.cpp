// libFuzzer target for finding in code page 936 text: any pattern in any
// bytes. The matches are those a plain walk over the text's characters finds
// (each starting a character, ASCII letters folded unless case-sensitive,
// none overlapping), and every one of them is reported, in order.
#include "text/gbk.h"
#include "text/gbkfind.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

char Fold(char c, bool caseSensitive)
{
    return !caseSensitive && c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // First byte: case and the pattern's length (1..16); then the pattern,
    // then the text.
    const bool caseSensitive = data[0] & 0x80;
    const size_t length = std::min<size_t>(1 + (data[0] & 0x0F), size - 1);
    const QByteArray pattern(reinterpret_cast<const char *>(data + 1), qsizetype(length));
    const QByteArray text(reinterpret_cast<const char *>(data + 1 + length), qsizetype(size - 1 - length));
    const GbkFinder finder(pattern, caseSensitive);

    std::vector<qsizetype> expected;
    const qsizetype m = pattern.size();
    for (qsizetype at = 0; at < text.size();) {
        bool match = at + m <= text.size();
        for (qsizetype i = 0; match && i < m; ++i)
            match = Fold(text[at + i], caseSensitive) == Fold(pattern[i], caseSensitive);
        Check(GbkFinder::startsCharacter(text.constData(), at));
        if (match) {
            expected.push_back(at);
            // The next match starts at a character after this one.
            const qsizetype end = at + m;
            while (at < end)
                at += Gbk::unitAt(text.constData() + at, text.size() - at).length;
            continue;
        }
        at += Gbk::unitAt(text.constData() + at, text.size() - at).length;
    }
    std::vector<qsizetype> found;
    finder.forEach(text.constData(), text.size(), text.size(), [&](qsizetype at) {
        found.push_back(at);
        return true;
    });
    Check(found == expected);
    Check(finder.count(text.constData(), text.size(), text.size()) == qsizetype(expected.size()));
    return 0;
}
