// The reply decoders on whatever a module may send. The first byte picks the
// command the lines answer (or none); the rest, cut at LF, is the lines, the
// last of them the final result line. Checks:
//  - each line, and the whole transaction, decodes the same twice;
//  - whatever decodes to fields has a title;
//  - a number decoded for a key with a documented range is inside it, with
//    or without a problem, in lines and in transactions (keys "_<n>" too).

#include "atinfo/replydecoder.h"

#include <QList>
#include <cstdint>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

const char *const kCommands[] = {
    "", "AT+CREG?", "AT+CEREG?", "AT+CSQ", "AT+CMGL=4", "AT+CMGR=1", "AT+COPS=?", "AT+CGSN", "AT+CIMI",
    "AT+CLIP?", "AT+CPMS?", "AT+CUSD?", "AT+CGDCONT?", "ATS0?", "AT+CREG=?",
};
constexpr int kCommandCount = int(sizeof kCommands / sizeof kCommands[0]);

struct Range
{
    const char *key;
    qint64 low, high;
};
// The ranges the decoders document (27.007 for the codes; lac/tac as hex).
const Range kRanges[] = {
    {"rssi", 0, 31},      {"rssi_dbm", -113, -51}, {"ber", 0, 7},       {"rxlev", 0, 63},   {"rscp", 0, 96},
    {"ecno", 0, 49},      {"rsrq", 0, 34},         {"rsrp", 0, 97},     {"stat", 0, 11},    {"lac", 0, 0xffff},
    {"tac", 0, 0xffffff}, {"ci", 0, 0xfffffffffLL}, {"act", 0, 255},    {"bcl", 0, 100},    {"bcs", 0, 3},
    {"zone", -96, 96},    {"fun", 0, 127},          {"cause_type", 0, 1}, {"dir", 0, 1},    {"state", 0, 5},
    {"m", 0, 5},          {"dcs", 0, 255},          {"tosca", 128, 255}, {"type", 128, 255}, {"mr", 0, 255},
};

QString BaseKey(const QString &key)
{
    const qsizetype underscore = key.lastIndexOf(u'_');
    if (underscore > 0) {
        bool number = false;
        key.mid(underscore + 1).toInt(&number);
        if (number)
            return key.left(underscore);
    }
    return key;
}

void CheckDecoded(const Decoded &d)
{
    check(d.fields.isEmpty() || !d.title.isEmpty());
    for (const DecodedField &field : d.fields) {
        if (field.value.typeId() != QMetaType::LongLong)
            continue;
        const QString key = BaseKey(field.key);
        const qint64 value = field.value.toLongLong();
        for (const Range &range : kRanges)
            if (key == QLatin1String(range.key))
                check(range.low <= value && value <= range.high);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 4096)
        return 0;
    const QByteArrayView command(kCommands[data[0] % kCommandCount]);
    const QList<QByteArray> parts =
        QByteArray(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1)).split('\n');
    for (const QByteArray &line : parts) {
        const Decoded once = DecodeReplyLine(line, command);
        CheckDecoded(once);
        check(once.toText() == DecodeReplyLine(line, command).toText());
        CheckDecoded(DecodeReplyLine(line));
    }
    const QList<QByteArray> lines = parts.mid(0, parts.size() - 1);
    const Decoded whole = DecodeTransaction(command, lines, parts.back());
    CheckDecoded(whole);
    check(whole.toText() == DecodeTransaction(command, lines, parts.back()).toText());
    return 0;
}
