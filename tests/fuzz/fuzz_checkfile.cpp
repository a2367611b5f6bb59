// libFuzzer target for the check files of qrvterm-run: any bytes in. A file
// is either read (checks, no error) or refused with an error naming the file
// and a line of it; what was read binds to a set and judges reply lines (the
// input's own lines) without crashing, and what a check records is a named
// group of one of its matches.
#include "runner/checkfile.h"

#include <QByteArray>
#include <QList>
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
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const CheckFile file = ParseCheckFile(input, QStringLiteral("f"));
    if (!file.error.isEmpty()) {
        Check(file.checks.isEmpty());
        Check(file.error.startsWith(QLatin1String("f:")));
        bool ok = false;
        const int line = file.error.section(QLatin1Char(':'), 1, 1).toInt(&ok);
        Check(ok && line >= 1 && line <= input.count('\n') + 1);
        return 0;
    }
    // Reply lines: the input's first lines, short, so that a pattern that
    // backtracks badly still ends soon.
    QList<QByteArray> lines;
    for (const QByteArray &line : input.split('\n')) {
        if (lines.size() == 8)
            break;
        lines << line.left(48);
    }
    const QList<QByteArray> commands = {"AT", "AT+CSQ", "ATI", "AT+CGSN"};
    QString error;
    const QHash<int, CommandCheck> rows = ChecksForRows(file, commands, &error);
    Check(error.isEmpty() || rows.isEmpty());
    for (const CommandCheck &check : file.checks) {
        const CheckOutcome outcome = EvaluateChecks(check, lines);
        Check(outcome.passed || !outcome.message.isEmpty());
        for (const auto &[name, value] : outcome.values) {
            bool named = false;
            for (const CommandCheck::Match &m : check.matches)
                named = named || m.regex.namedCaptureGroups().contains(name);
            Check(named);
        }
    }
    return 0;
}
