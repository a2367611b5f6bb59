// The message store: +CPMS, +CMGR, +CMGL, +CMGD, messages as they are shown, and arriving messages.
#include "simmoduleimpl.h"
#include "smspdu.h"

#include <QDateTime>

#include <algorithm>
#include <cstdlib>

using namespace SimInternal;

namespace {

QString currentTimestamp()
{
    const QDateTime now = QDateTime::currentDateTime();
    const int quarters = now.offsetFromUtc() / 900;
    return now.toString(QStringLiteral("yy/MM/dd,hh:mm:ss")) + (quarters < 0 ? u'-' : u'+')
        + QString::number(std::abs(quarters)).rightJustified(2, u'0');
}

const char *statusText(SimulatedModule::MessageStatus s)
{
    switch (s) {
    case SimulatedModule::MessageStatus::ReceivedUnread: return "REC UNREAD";
    case SimulatedModule::MessageStatus::ReceivedRead: return "REC READ";
    case SimulatedModule::MessageStatus::StoredUnsent: return "STO UNSENT";
    case SimulatedModule::MessageStatus::StoredSent: return "STO SENT";
    }
    return "";
}

} // namespace

Result SimulatedModule::Impl::cmdCpms(Command &c)
{
    const QByteArray used = number(int(store.size()));
    const QByteArray total = number(kStorageSize);
    const QByteArray counts = used + "," + total;
    switch (c.form) {
    case Form::Read:
        c.info << "+CPMS: \"SM\"," + counts + ",\"SM\"," + counts + ",\"SM\"," + counts;
        return ok();
    case Form::Test:
        c.info << "+CPMS: (\"SM\"),(\"SM\"),(\"SM\")";
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    if (c.params.size() > 3)
        return smsParamError();
    for (const Param &p : c.params)
        if (!p.quoted || p.text.toUpper() != "SM")
            return smsParamError();
    c.info << "+CPMS: " + counts + "," + counts + "," + counts;
    return ok();
}

QList<QByteArray> SimulatedModule::Impl::readMessage(int index, const StoredMessage &m, bool listing) const
{
    const QByteArray prefix = listing ? "+CMGL: " + number(index) + "," : QByteArray("+CMGR: ");
    if (settings.cmgf == 0) {
        int length = 0;
        const QByteArray pdu = SmsPdu::encodeDeliver({m.serviceCentre, m.sender, m.timestamp, m.text}, &length);
        return {prefix + number(int(m.status)) + ",," + number(length), pdu.toHex().toUpper()};
    }
    const quint8 dcs = SmsPdu::deliverDcs(m.text);
    const int length = dcs == 0 ? int(SmsPdu::toGsm7(m.text).size()) : int(m.text.size() * 2);
    QByteArray header = prefix + quoted(statusText(m.status)) + "," + quoted(toTe(m.sender)) + ",,"
        + quoted(m.timestamp.toLatin1());
    if (settings.csdh == 1) {
        header += "," + number(SmsPdu::addressType(m.sender));
        if (listing)
            header += "," + number(length);
        else
            header += ",4,0," + number(dcs) + "," + quoted(toTe(m.serviceCentre)) + ","
                + number(SmsPdu::addressType(m.serviceCentre)) + "," + number(length);
    }
    return {header, bodyToTe(m.text)};
}

Result SimulatedModule::Impl::cmdCmgr(Command &c)
{
    if (c.form == Form::Test)
        return ok();
    if (c.form != Form::Set)
        return error();
    const auto index = toInt(c.params[0]);
    const auto mode = optionalInt(c.params, 1, 0);
    if (!index || !mode || *mode > 1 || c.params.size() > 2)
        return smsParamError();
    const auto it = store.find(*index);
    if (it == store.end())
        return cms(kCmsInvalidIndex);
    c.info << readMessage(*index, *it, false);
    if (*mode == 0 && it->status == MessageStatus::ReceivedUnread)
        it->status = MessageStatus::ReceivedRead;
    return ok();
}

Result SimulatedModule::Impl::cmdCmgl(Command &c)
{
    static const QByteArray names[] = {"REC UNREAD", "REC READ", "STO UNSENT", "STO SENT", "ALL"};
    const bool text = settings.cmgf == 1;
    if (c.form == Form::Test) {
        c.info << (text ? "+CMGL: (\"REC UNREAD\",\"REC READ\",\"STO UNSENT\",\"STO SENT\",\"ALL\")"
                        : "+CMGL: (0-4)");
        return ok();
    }
    if (c.form == Form::Read)
        return error();
    int which = 0;
    int mode = 0;
    if (c.form == Form::Set) {
        const Param &p = c.params[0];
        if (text) {
            which = p.quoted ? int(std::find(std::begin(names), std::end(names), p.text.toUpper()) - std::begin(names))
                             : 5;
        } else {
            which = toInt(p).value_or(5);
        }
        const auto m = optionalInt(c.params, 1, 0);
        if (which > 4 || !m || *m > 1 || c.params.size() > 2)
            return smsParamError();
        mode = *m;
    }
    for (auto it = store.begin(); it != store.end(); ++it) {
        if (which != 4 && int(it->status) != which)
            continue;
        c.info << readMessage(it.key(), *it, true);
        if (mode == 0 && it->status == MessageStatus::ReceivedUnread)
            it->status = MessageStatus::ReceivedRead;
    }
    return ok();
}

Result SimulatedModule::Impl::cmdCmgd(Command &c)
{
    if (c.form == Form::Test) {
        QList<QByteArray> used;
        for (int index : store.keys())
            used << number(index);
        c.info << "+CMGD: (" + used.join(',') + "),(0-4)";
        return ok();
    }
    if (c.form != Form::Set)
        return error();
    const auto flag = optionalInt(c.params, 1, 0);
    const auto index = optionalInt(c.params, 0, 0);
    if (!flag || *flag > 4 || !index || c.params.size() > 2)
        return smsParamError();
    if (*flag == 0) {
        if (!store.remove(*index))
            return cms(kCmsInvalidIndex);
        return ok();
    }
    // Flags 1..4 delete whole classes of messages: read; + sent; + unsent; all.
    store.removeIf([&](const auto &entry) {
        switch (entry.value().status) {
        case MessageStatus::ReceivedRead: return true;
        case MessageStatus::StoredSent: return *flag >= 2;
        case MessageStatus::StoredUnsent: return *flag >= 3;
        case MessageStatus::ReceivedUnread: return *flag == 4;
        }
        return false;
    });
    return ok();
}

QByteArray SimulatedModule::Impl::receiveSms(const QString &sender, const QString &text, const QString &timestamp)
{
    const StoredMessage m {MessageStatus::ReceivedUnread, sender, serviceCentre,
                           timestamp.isEmpty() ? currentTimestamp() : timestamp, SmsPdu::fitOneMessage(text)};
    const int mode = settings.cnmi[0];
    const int mt = settings.cnmi[1];
    if (mode != 0 && mt == 2) {
        // Routed straight to the terminal, not stored.
        QList<QByteArray> lines;
        if (settings.cmgf == 0) {
            int length = 0;
            const QByteArray pdu = SmsPdu::encodeDeliver({m.serviceCentre, m.sender, m.timestamp, m.text}, &length);
            lines << ("+CMT: ," + number(length)) << pdu.toHex().toUpper();
        } else {
            lines = readMessage(0, m, false);
            lines[0] = "+CMT: " + lines[0].mid(lines[0].indexOf(',') + 1);
        }
        return formatInfo(lines);
    }
    int index = 1;
    while (index <= kStorageSize && store.contains(index))
        ++index;
    if (index > kStorageSize)
        return {};
    store.insert(index, m);
    if (mode != 0 && (mt == 1 || mt == 3))
        return formatInfo({"+CMTI: \"SM\"," + number(index)});
    return {};
}
