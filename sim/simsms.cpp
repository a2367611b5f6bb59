// Short message settings and sending: +CSMS, +CSCA, +CNMI, +CSMP, +CMGS and message entry.
#include "simcharset.h"
#include "simmoduleimpl.h"
#include "smspdu.h"

#include <utility>

using namespace SimInternal;

namespace {

constexpr int kMaxTpduLength = 164;

} // namespace

Result SimulatedModule::Impl::cmdCsms(Command &c)
{
    switch (c.form) {
    case Form::Read:
        c.info << "+CSMS: " + number(csms) + ",1,1,1";
        return ok();
    case Form::Test:
        c.info << "+CSMS: (0,1)";
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    const auto service = c.params.size() == 1 ? toInt(c.params[0]) : std::nullopt;
    if (!service || *service > 1)
        return smsParamError();
    csms = *service;
    c.info << "+CSMS: 1,1,1";
    return ok();
}

Result SimulatedModule::Impl::cmdCsca(Command &c)
{
    switch (c.form) {
    case Form::Read:
        c.info << "+CSCA: " + quoted(toTe(serviceCentre)) + "," + number(serviceCentreType);
        return ok();
    case Form::Test:
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    const auto address = c.params[0].quoted ? fromTe(c.params[0].text) : std::nullopt;
    const auto type = address ? optionalInt(c.params, 1, SmsPdu::addressType(*address)) : std::nullopt;
    if (!address || !SmsPdu::isDiallingNumber(*address) || !type || *type > 255 || c.params.size() > 2)
        return smsParamError();
    serviceCentre = *address;
    serviceCentreType = *type;
    return ok();
}

Result SimulatedModule::Impl::cmdCnmi(Command &c)
{
    auto &cnmi = settings.cnmi;
    switch (c.form) {
    case Form::Read: {
        QByteArray text = "+CNMI: ";
        for (size_t i = 0; i < cnmi.size(); ++i)
            text += (i ? "," : "") + number(cnmi[i]);
        c.info << text;
        return ok();
    }
    case Form::Test:
        c.info << "+CNMI: (0-3),(0-3),(0,2),(0-2),(0,1)";
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    constexpr std::array<int, 5> max {3, 3, 3, 2, 1};
    auto values = cnmi;
    if (c.params.size() > qsizetype(values.size()))
        return smsParamError();
    for (qsizetype i = 0; i < c.params.size(); ++i) {
        const auto v = optionalInt(c.params, i, values[size_t(i)]);
        if (!v || *v > max[size_t(i)])
            return smsParamError();
        values[size_t(i)] = *v;
    }
    cnmi = values;
    return ok();
}

Result SimulatedModule::Impl::cmdCsmp(Command &c)
{
    auto &csmp = settings.csmp;
    switch (c.form) {
    case Form::Read:
        c.info << "+CSMP: " + number(csmp[0]) + "," + number(csmp[1]) + "," + number(csmp[2]) + ","
                + number(csmp[3]);
        return ok();
    case Form::Test:
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    auto values = csmp;
    if (c.params.size() > qsizetype(values.size()))
        return smsParamError();
    for (qsizetype i = 0; i < c.params.size(); ++i) {
        const auto v = optionalInt(c.params, i, values[size_t(i)]);
        if (!v || *v > 255)
            return smsParamError();
        values[size_t(i)] = *v;
    }
    csmp = values;
    return ok();
}

Result SimulatedModule::Impl::cmdCmgs(Command &c)
{
    if (c.form == Form::Test)
        return ok();
    if (c.form != Form::Set)
        return error();
    if (!registered())
        return cms(kCmsNoService);
    if (settings.cmgf == 1) {
        const auto address = c.params[0].quoted ? fromTe(c.params[0].text) : std::nullopt;
        const auto type = optionalInt(c.params, 1, 0);
        if (!address || !SmsPdu::isDiallingNumber(*address) || !type || *type > 255 || c.params.size() > 2)
            return smsParamError();
        destination = *address;
        state = State::MessageText;
    } else {
        const auto length = c.params.size() == 1 ? toInt(c.params[0]) : std::nullopt;
        if (!length || *length < 1 || *length > kMaxTpduLength)
            return smsParamError();
        tpduLength = *length;
        state = State::MessagePdu;
    }
    body.clear();
    bodyTooLong = false;
    bodyAfterCr = false;
    return prompt();
}

std::optional<QString> SimulatedModule::Impl::enteredText(const QByteArray &entered, quint8 dcs) const
{
    QByteArray hex = entered;
    hex.replace('\n', QByteArray());
    switch (SmsPdu::alphabetOf(dcs)) {
    case SmsPdu::Alphabet::Ucs2: {
        const auto text = fromUcs2Hex(hex);
        if (!text || text->size() > 70)
            return std::nullopt;
        return text;
    }
    case SmsPdu::Alphabet::Data8:
        if (hex.size() % 2 != 0 || !isHex(hex) || hex.size() > 280)
            return std::nullopt;
        return QString::fromLatin1(hex.toUpper());
    case SmsPdu::Alphabet::Gsm7:
        break;
    }
    const auto text = settings.cscs == "UCS2" ? fromUcs2Hex(hex) : fromTe(entered);
    if (!text)
        return std::nullopt;
    const QByteArray septets = SmsPdu::toGsm7(*text);
    if (septets.size() > 160)
        return std::nullopt;
    return SmsPdu::fromGsm7(septets);
}

QByteArray SimulatedModule::Impl::finishMessage()
{
    const bool pdu = state == State::MessagePdu;
    state = State::Idle;
    const QByteArray entered = std::exchange(body, {});
    SentMessage m;
    m.pduMode = pdu;
    if (pdu) {
        const auto submit = !bodyTooLong && entered.size() % 2 == 0 && isHex(entered)
            ? SmsPdu::decodeSubmit(QByteArray::fromHex(entered), tpduLength)
            : std::nullopt;
        if (!submit)
            return formatResult(cms(kCmsInvalidPduParameter));
        if (submit->serviceCentre.isEmpty() && serviceCentre.isEmpty())
            return formatResult(cms(kCmsSmscUnknown));
        m.destination = submit->destination;
        m.dcs = submit->dcs;
        m.text = submit->text;
    } else {
        m.destination = destination;
        m.dcs = quint8(settings.csmp[3]);
        const auto text = bodyTooLong ? std::nullopt : enteredText(entered, m.dcs);
        if (!text)
            return formatResult(cms(kCmsInvalidTextParameter));
        if (serviceCentre.isEmpty())
            return formatResult(cms(kCmsSmscUnknown));
        m.text = *text;
    }
    nextReference = (nextReference + 1) % 256;
    m.reference = nextReference;
    sent.append(m);
    return formatInfo({"+CMGS: " + number(m.reference)}) + formatResult(ok());
}
