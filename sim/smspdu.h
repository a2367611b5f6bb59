#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Codec for the short-message transfer PDUs a module exchanges with the
// terminal in PDU mode: the GSM 7-bit default alphabet and its packing,
// semi-octet addresses and time stamps, SMS-DELIVER encoding and SMS-SUBMIT
// decoding. Pure functions, no state.
namespace SmsPdu {

enum class Alphabet { Gsm7, Data8, Ucs2 };

// Character set a data coding scheme octet selects.
Alphabet alphabetOf(quint8 dcs);

// The alphabet and the packing are atinfo's (Gsm7); these forward to it.
// Maps text to GSM default alphabet septets (extension table characters
// become ESC + code). Characters outside both tables become '?' and clear
// *exact when given.
QByteArray toGsm7(const QString &text, bool *exact = nullptr);
QString fromGsm7(const QByteArray &septets);
bool fitsGsm7(const QString &text);

// Packs septets seven bits each, least significant bit first, after
// fillBits zero bits (the padding that follows a user data header).
QByteArray packSeptets(const QByteArray &septets, int fillBits = 0);
// Unpacks count septets; returns fewer when packed is too short.
QByteArray unpackSeptets(const QByteArray &packed, int count, int fillBits = 0);

// The longest prefix of text that fits one message: 160 septets in the
// default alphabet, otherwise 70 UTF-16 units.
QString fitOneMessage(const QString &text);

// Type-of-address octet for a dialling string: 145 (international) when it
// starts with '+', else 129.
int addressType(const QString &number);
// True for '+' (optional, first) followed by 1..20 of 0-9 * #.
bool isDiallingNumber(const QString &number);

struct Deliver
{
    QString serviceCentre; // empty: no service centre part (length octet 0)
    QString sender;
    QString timestamp;     // "yy/MM/dd,hh:mm:ss+zz", zone in quarter hours
    QString text;          // default alphabet when it fits, else UCS2
};

// Service centre part followed by the SMS-DELIVER TPDU. *tpduLength gets
// the TPDU's length in octets (the <length> of +CMGR / +CMGL / +CMT).
QByteArray encodeDeliver(const Deliver &message, int *tpduLength);
// The data coding scheme encodeDeliver uses for text.
quint8 deliverDcs(const QString &text);

struct Submit
{
    QString serviceCentre; // empty when the PDU has no service centre part
    int reference = 0;
    QString destination;
    int destinationType = 0;
    quint8 protocolId = 0;
    quint8 dcs = 0;
    QByteArray header;     // user data header without its length octet
    QString text;          // decoded body; 8-bit data as upper-case hex
};

// Decodes an optional service centre part followed by an SMS-SUBMIT TPDU.
// The TPDU must be exactly tpduLength octets. Returns nothing for anything
// malformed.
std::optional<Submit> decodeSubmit(const QByteArray &pdu, int tpduLength);

} // namespace SmsPdu
