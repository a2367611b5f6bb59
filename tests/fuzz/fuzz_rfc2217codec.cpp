// The Telnet + com port control codec on whatever a server may send. The
// first byte picks whether the client made its offers (start()) and whether
// the server agreed to binary before the input, the second how the input is
// cut into feeds. Checks:
//  - the input fed whole and fed in pieces gives the same data, answers,
//    read-back values, notices, states and faults (the whole run's kept
//    notices and faults being the bounded part of the split run's);
//  - the data is never longer than the input, the answers at most three
//    times as long, the kept notices and faults within their bounds;
//  - the input as data, escaped and fed back, comes out unchanged.

#include "serial/rfc2217codec.h"

#include <cstdint>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

struct Run
{
    Rfc2217Codec codec;
    QByteArray data;
    QByteArray outgoing;
    QList<Rfc2217Codec::Notice> notices;
    QStringList faults;

    Run(bool started, bool binary)
    {
        if (started)
            codec.start();
        if (binary) // the server agrees to binary both ways
            codec.feed(QByteArray::fromHex("fffd00fffb00"));
        codec.takeOutgoing();
    }

    void feed(QByteArrayView bytes)
    {
        const QByteArray got = codec.feed(bytes);
        check(got.size() <= bytes.size());
        data += got;
        outgoing += codec.takeOutgoing();
        const QList<Rfc2217Codec::Notice> n = codec.takeNotices();
        check(n.size() <= Rfc2217Codec::kMaxPendingNotices);
        notices += n;
        const QStringList f = codec.takeFaults();
        check(f.size() <= Rfc2217Codec::kMaxPendingFaults);
        faults += f;
    }
};

bool same(const Run &a, const Run &b)
{
    using G = Rfc2217Codec::ControlGroup;
    const Rfc2217Codec &x = a.codec;
    const Rfc2217Codec &y = b.codec;
    for (G g : { G::FlowControl, G::Break, G::Dtr, G::Rts, G::InboundFlowControl }) {
        if (x.control(g) != y.control(g))
            return false;
    }
    // The whole run takes its notices and faults once, the split one after
    // each piece: the first keeps the newest notices and the oldest faults.
    const qsizetype notices = qMin(b.notices.size(), Rfc2217Codec::kMaxPendingNotices);
    const qsizetype faults = qMin(b.faults.size(), Rfc2217Codec::kMaxPendingFaults);
    return a.data == b.data && a.outgoing == b.outgoing && a.notices == b.notices.last(notices)
        && a.faults == b.faults.first(faults)
        && x.faultCount() == y.faultCount() && x.baudRate() == y.baudRate() && x.dataSize() == y.dataSize()
        && x.parity() == y.parity() && x.stopSize() == y.stopSize() && x.purged() == y.purged()
        && x.lineStateMask() == y.lineStateMask() && x.modemStateMask() == y.modemStateMask()
        && x.serverSignature() == y.serverSignature() && x.modemState() == y.modemState()
        && x.lineState() == y.lineState() && x.modemStateNotices() == y.modemStateNotices()
        && x.lineStateNotices() == y.lineStateNotices() && x.flowSuspended() == y.flowSuspended()
        && x.comPortState() == y.comPortState() && x.binaryToServer() == y.binaryToServer()
        && x.binaryFromServer() == y.binaryFromServer() && x.offersAnswered() == y.offersAnswered()
        && x.telnetSeen() == y.telnetSeen();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t mode = data[0];
    const uint8_t split = data[1];
    const bool started = mode & 1;
    const bool binary = mode & 2;
    const QByteArrayView input(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));

    Run whole(started, binary);
    whole.feed(input);
    check(whole.outgoing.size() <= 3 * input.size());

    // Pieces of 1 to (1 + split % 23) bytes, their lengths from a simple
    // generator seeded by the split byte.
    Run pieces(started, binary);
    const qsizetype longest = 1 + split % 23;
    uint32_t state = split;
    for (qsizetype at = 0; at < input.size();) {
        state = state * 1103515245u + 12345u;
        const qsizetype n = qMin<qsizetype>(1 + qsizetype(state >> 16) % longest, input.size() - at);
        pieces.feed(input.sliced(at, n));
        at += n;
    }
    check(same(whole, pieces));

    // The input taken as data: escaped for the wire and read back whole.
    const QByteArray escaped = Rfc2217Codec::escape(input);
    check(escaped.size() == input.size() + input.count(char(0xff)));
    Run echo(true, true);
    echo.feed(escaped);
    check(echo.data == input && echo.outgoing.isEmpty() && echo.codec.faultCount() == 0);
    check(echo.codec.encode(input) == escaped);
    return 0;
}
