// libFuzzer target for IniReader: any bytes in; every value that comes back is
// a run of the input without line breaks, and a look-up of several keys at
// once agrees with looking them up one by one.
#include "commands/inireader.h"

#include <QByteArray>
#include <QList>
#include <cstddef>
#include <cstdint>

namespace {

constexpr qsizetype kMaxNames = 8;

void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void AddName(QList<QByteArray> &names, const QByteArray &name)
{
    if (names.size() < kMaxNames && !names.contains(name))
        names.append(name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const IniReader ini = IniReader::FromBytes(input);

    // Names to ask for: the fixed ones of the command sets, then what the
    // input's first lines look like, in upper case too.
    QList<QByteArray> sections = {"example"};
    QList<QByteArray> keys = {"cmdnum", "cmd1"};
    qsizetype lines = 0;
    for (qsizetype pos = 0; pos < input.size() && lines < 32; ++lines) {
        qsizetype end = pos;
        while (end < input.size() && input[end] != '\r' && input[end] != '\n')
            ++end;
        const QByteArray line = input.mid(pos, end - pos).trimmed();
        const qsizetype close = line.lastIndexOf(']');
        if (line.startsWith('[') && close > 0) {
            AddName(sections, line.mid(1, close - 1));
            AddName(sections, line.mid(1, close - 1).toUpper());
        } else if (line.contains('=')) {
            AddName(keys, line.left(line.indexOf('=')).trimmed());
            AddName(keys, line.left(line.indexOf('=')).trimmed().toUpper());
        }
        pos = end + 1;
    }
    AddName(keys, input.left(6));

    const QByteArray fallback("\x01<none>\x02");
    for (const QByteArray &section : sections) {
        const QList<QByteArray> values = ini.Values(section, keys, fallback);
        Check(values.size() == keys.size());
        for (qsizetype i = 0; i < keys.size(); ++i) {
            const QByteArray &value = values[i];
            Check(value == ini.Value(section, keys[i], fallback));
            if (value == fallback)
                continue;
            Check(input.contains(value));
            Check(!value.contains('\r') && !value.contains('\n'));
        }
    }
    return 0;
}
