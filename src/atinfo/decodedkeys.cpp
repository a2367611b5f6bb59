#include "atinfo/decodedkeys.h"

#include <QRegularExpression>
#include <QSet>

namespace {

// Every key the decoders write (tests decode a sample of every answer and
// check that each key they meet is here).
const QSet<QString> &Keys()
{
    static const QSet<QString> keys = [] {
        QSet<QString> k;
        for (const char *key : {
                 // signal, registration, operator
                 "rssi", "rssi_dbm", "ber", "rxlev", "rscp", "ecno", "rsrq", "rsrp", "n", "stat", "lac", "tac",
                 "ci", "act", "rac", "allowed_nssai_length", "allowed_nssai", "cause_type", "reject_cause",
                 "active_time", "periodic_tau", "mode", "format", "operator", "operator_stat", "operator_short",
                 "operator_numeric",
                 // the module, packet data, calls, USSD
                 "state", "fun", "date", "time", "zone", "bcs", "bcl", "voltage_mv", "sca", "tosca", "cid",
                 "pdp_addr", "pdp_addr_2", "pdp_type", "apn", "d_comp", "h_comp", "number", "type", "alpha",
                 "cli_validity", "m", "id", "dir", "mpty", "str", "dcs", "imei", "imsi", "mcc", "iccid",
                 "manufacturer", "model", "revision", "identification", "supported",
                 // messages
                 "mem", "mem1", "mem2", "mem3", "used1", "used2", "used3", "total1", "total2", "total3", "index",
                 "mt", "bm", "ds", "bfr", "mr", "scts", "length", "data", "fo", "dt", "st", "pdu",
                 // an SMS PDU
                 "pdu_type", "first_octet", "smsc", "sender", "destination", "recipient", "timestamp",
                 "discharge_time", "message_ref", "status", "pid", "alphabet", "message_class", "validity",
                 "text", "concat_ref", "concat_part", "concat_total", "udh",
                 // final results
                 "result", "connect_text", "cme_error", "cms_error" })
            k.insert(QString::fromLatin1(key));
        return k;
    }();
    return keys;
}

} // namespace

bool IsDecodedKey(const QString &name)
{
    if (Keys().contains(name))
        return true;
    static const QRegularExpression record(QStringLiteral("^(.+)_[1-9][0-9]*$"));
    const QRegularExpressionMatch m = record.match(name);
    return m.hasMatch() && Keys().contains(m.captured(1));
}
