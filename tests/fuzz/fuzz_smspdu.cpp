// libFuzzer target for the SMS PDU decoder. The input is decoded twice: as
// the hex text a module prints, and as the octets of a PDU (made hex here,
// which reaches past the hex check). Decoding is a function of its input;
// a text that decodes without a problem is cut by EncodeSmsSubmitParts
// into parts that decode and join back to it, and the text of a single-part
// SMS-SUBMIT fits one PDU again and decodes back the same.
#include "atinfo/smspdu.h"

#include <cstddef>
#include <cstdint>

namespace {

void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void DecodeAndCheck(QByteArrayView hex, int tpduLength)
{
    const Decoded d = DecodeSmsPdu(hex, tpduLength);
    Check(DecodeSmsPdu(hex, tpduLength).toText() == d.toText());

    const DecodedField *type = d.field(QStringLiteral("pdu_type"));
    const DecodedField *text = d.field(QStringLiteral("text"));
    const DecodedField *alphabet = d.field(QStringLiteral("alphabet"));
    if (!d.problem.isEmpty() || !type || !text || !alphabet || alphabet->value.toString() == QStringLiteral("8bit"))
        return;

    // Any decoded text, three times over, is cut into parts that join back.
    SmsSubmitMessage m;
    m.destination = QStringLiteral("+8613912345678");
    m.text = text->value.toString().repeated(3);
    const QList<SmsSubmitPdu> parts = EncodeSmsSubmitParts(m);
    Check(!parts.isEmpty());
    QString joined;
    for (const SmsSubmitPdu &part : parts) {
        const Decoded p = DecodeSmsPdu(part.hex, part.tpduLength);
        Check(p.problem.isEmpty());
        const DecodedField *partText = p.field(QStringLiteral("text"));
        Check(partText != nullptr);
        joined += partText->value.toString();
        if (parts.size() > 1)
            Check(p.field(QStringLiteral("concat_total"))->value.toLongLong() == parts.size());
    }
    Check(joined == m.text);

    if (type->value.toString() != QStringLiteral("SMS-SUBMIT") || d.field(QStringLiteral("udh")))
        return;
    m.destination = QStringLiteral("+8613912345678");
    m.text = text->value.toString();
    int length = -1;
    const QByteArray again = EncodeSmsSubmit(m, &length);
    Check(!again.isEmpty() && length > 0);
    const Decoded back = DecodeSmsPdu(again, length);
    Check(back.problem.isEmpty());
    const DecodedField *backText = back.field(QStringLiteral("text"));
    Check(backText && backText->value.toString() == m.text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    DecodeAndCheck(bytes, -1);
    if (size == 0)
        return 0;
    // As octets: once without a length, once with the one the service-centre
    // length octet implies.
    const QByteArray hex = bytes.toByteArray().toHex();
    DecodeAndCheck(hex, -1);
    DecodeAndCheck(hex, int(size) - 1 - data[0]);
    return 0;
}
