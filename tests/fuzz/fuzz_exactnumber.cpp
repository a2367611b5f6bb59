// libFuzzer target for the exact numbers of check files and module replies:
// any text in. Two texts (the input split at its first newline) parse or
// not; what parses compares as a total order (reflexive, antisymmetric),
// survives a round trip through its canonical form, and agrees with long
// long arithmetic where both are small integers.
#include "runner/exactnumber.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// A decimal integer of at most 15 digits, or nothing.
bool SmallInteger(const QString &text, long long *value)
{
    const QString t = text.trimmed();
    if (t.isEmpty() || t.size() > 16)
        return false;
    for (qsizetype i = 0; i < t.size(); ++i) {
        const QChar c = t.at(i);
        if (!(c.isDigit() && c.unicode() < 128) && !(i == 0 && (c == u'-' || c == u'+')))
            return false;
    }
    bool ok = false;
    *value = t.toLongLong(&ok);
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString input = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype cut = input.indexOf(u'\n');
    const QString a = cut < 0 ? input : input.left(cut);
    const QString b = cut < 0 ? QString() : input.mid(cut + 1);
    const auto x = ExactNumber::Parse(a);
    const auto y = ExactNumber::Parse(b);
    if (x) {
        Check(x->Compare(*x) == 0);
        const auto again = ExactNumber::Parse(x->Canonical());
        Check(again && again->Compare(*x) == 0 && again->Canonical() == x->Canonical());
    }
    if (x && y) {
        Check(x->Compare(*y) == -y->Compare(*x));
        long long i = 0, j = 0;
        if (SmallInteger(a, &i) && SmallInteger(b, &j))
            Check(x->Compare(*y) == (i < j ? -1 : i > j ? 1 : 0));
    }
    return 0;
}
