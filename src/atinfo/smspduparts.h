#pragma once

#include <QByteArray>
#include <QString>

// The pieces of a short-message TPDU that DecodeSmsPdu and EncodeSmsSubmit
// share: semi-octet numbers and time stamps, and the words for the octets
// that are codes (PID, DCS, TP-ST, TP-VP). Internal to atinfo.
namespace SmsPduParts {

// Why a piece could not be read; empty when it was.
using Problem = QString;

// count semi-octets of octets, low nibble first: 0-9, '*' (A), '#' (B),
// 'a'..'c' (C..E). A filler (F) among them is a problem.
Problem semiOctetDigits(const QByteArray &octets, int count, QString *digits);
// Semi-octets of a dialling string ('+' dropped), padded with F.
QByteArray semiOctetsOf(const QString &digits);
// True for an optional leading '+' then 1..20 of 0-9 * #.
bool isDiallingString(const QString &number);

// The type-of-address octet in words: "international", "national",
// "alphanumeric"...
QString typeOfNumberWords(int typeOfAddress);

// A time stamp of seven octets (TP-SCTS, TP-DT, absolute TP-VP):
// *value "yy/MM/dd hh:mm:ss +zz" with the zone in quarter hours, *words
// the same with the zone as hours and minutes.
Problem timeStamp(const QByteArray &octets, QString *value, QString *words);

// A relative validity period octet: its length in seconds.
qint64 relativeValiditySeconds(int vp);
// A length of time in words: "5 minutes", "12 hours 30 minutes", "4 days".
QString durationWords(qint64 seconds);
// The relative validity octet that covers at least minutes (at most 63 weeks).
int relativeValidityOctet(int minutes);

QString protocolIdWords(int pid);
QString statusWords(int status);

enum class Alphabet { Gsm7, Data8, Ucs2 };

struct Coding
{
    Alphabet alphabet = Alphabet::Gsm7;
    int messageClass = -1;      // 0..3, -1 when none
    bool compressed = false;
    QString words;              // the coding group and what it says
};
// What a data coding scheme octet says (3GPP TS 23.038, clause 4).
Coding codingOf(int dcs);

QString alphabetKey(Alphabet alphabet);
QString alphabetWords(Alphabet alphabet);
QString messageClassWords(int messageClass);

} // namespace SmsPduParts
