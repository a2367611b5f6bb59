// The AT reply parser on whatever a module may send. The first byte picks
// the command that waits (or none), whether the next command is begun from
// the sink on each final result, and now and then a line longer than
// kMaxLineLength before the rest; the second byte picks how the input is cut
// into reads. Checks:
//  - every byte is accounted for after each Feed, and nothing is held after
//    Flush;
//  - a line's text holds no CR or LF and is no longer than kMaxLineLength;
//    a Noise event is one CR or LF; the held line never exceeds the bound;
//  - at most one final result per BeginCommand, and only while it waits;
//  - the input fed whole and fed in pieces gives the very same events.

#include "at/atreplyparser.h"

#include <cstdint>
#include <vector>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

const char *const kCommands[] = {
    nullptr, "AT+CMGS=\"1\"", "AT+CREG?", "ATI", "AT+CSQ", "ATD*99#", "AT+CIPSEND=0,5", "Hello",
};
constexpr int kCommandCount = int(sizeof kCommands / sizeof kCommands[0]);
constexpr int kMaxBegins = 8;

using Event = AtReplyParser::Event;
using Kind = AtReplyParser::Kind;

struct Run
{
    std::vector<Event> events;
    qsizetype accounted = 0;
    qsizetype fed = 0;
    int command;
    bool chain;
    int begins = 0;
    bool finalSinceBegin = false;
    AtReplyParser parser{[this](const Event &e) { OnEvent(e); }};

    Run(int command, bool chain) : command(command), chain(chain)
    {
        if (kCommands[command])
            Begin();
    }

    void Begin()
    {
        parser.BeginCommand(kCommands[command]);
        check(parser.CommandPending());
        command = (command + 1) % kCommandCount;
        if (!kCommands[command])
            command = 1;
        ++begins;
        finalSinceBegin = false;
    }

    void OnEvent(const Event &e)
    {
        if (e.kind == Kind::Noise) {
            check(e.bytes == 1 && e.text.size() == 1 && (e.text[0] == '\r' || e.text[0] == '\n'));
        } else {
            check(!e.text.isEmpty() && !e.text.contains('\r') && !e.text.contains('\n'));
            check(e.text.size() <= AtReplyParser::kMaxLineLength);
            check(e.bytes == e.text.size() || e.bytes == e.text.size() + 1);
        }
        check(!e.continuation || e.kind == Kind::Urc);
        check((e.kind == Kind::Final) == (e.final.code != AtFinalResult::Code::None));
        if (e.kind == Kind::Echo)
            check(parser.CommandPending());
        accounted += e.bytes;
        events.push_back(e);
        if (e.kind == Kind::Final) {
            check(begins > 0 && !finalSinceBegin && !parser.CommandPending());
            finalSinceBegin = true;
            if (chain && begins < kMaxBegins)
                Begin();
        }
    }

    void Feed(const char *data, qsizetype n)
    {
        parser.Feed(data, n);
        fed += n;
        check(accounted + parser.PendingBytes() == fed);
        check(parser.PendingBytes() <= AtReplyParser::kMaxLineLength);
    }

    void Flush()
    {
        parser.Flush();
        check(parser.PendingBytes() == 0 && accounted == fed);
    }
};

bool Same(const Event &a, const Event &b)
{
    return a.kind == b.kind && a.text == b.text && a.bytes == b.bytes && a.continuation == b.continuation
        && a.final.code == b.final.code && a.final.number == b.final.number && a.final.text == b.final.text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t mode = data[0];
    const uint8_t split = data[1];
    const int command = (mode & 0x0F) % kCommandCount;
    const bool chain = mode & 0x10;
    QByteArray input(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    if ((mode & 0xE0) == 0xE0) // a line that crosses the bound somewhere in the input
        input.prepend(QByteArray(AtReplyParser::kMaxLineLength - 32 + split % 64, 'x'));

    Run whole(command, chain);
    whole.Feed(input.constData(), input.size());
    whole.Flush();

    // Pieces of 1 to (1 + split % 17) bytes, their lengths from a simple
    // generator seeded by the split byte; split 0 feeds a byte at a time.
    Run pieces(command, chain);
    const qsizetype longest = 1 + split % 17;
    uint32_t state = split;
    for (qsizetype at = 0; at < input.size();) {
        state = state * 1103515245u + 12345u;
        const qsizetype n = qMin<qsizetype>(1 + qsizetype(state >> 16) % longest, input.size() - at);
        pieces.Feed(input.constData() + at, n);
        at += n;
    }
    pieces.Flush();

    check(whole.events.size() == pieces.events.size());
    for (size_t i = 0; i < whole.events.size(); ++i)
        check(Same(whole.events[i], pieces.events[i]));
    return 0;
}
