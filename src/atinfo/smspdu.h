#pragma once

#include "atinfo/decoded.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

// Short-message PDUs as a module gives and takes them in PDU mode
// (3GPP TS 27.005): the service-centre address part, then the TPDU
// (3GPP TS 23.040), text in the alphabets of 3GPP TS 23.038.

// Decodes the hex text of a PDU from +CMGR, +CMGL, +CMT or +CDS. The first
// two bits of the TPDU's first octet say what it is, as a module lists the
// messages it holds: 00 SMS-DELIVER, 01 SMS-SUBMIT, 10 SMS-STATUS-REPORT.
// tpduLength is the <length> of the header line (octets of the TPDU, the
// service-centre part not counted), -1 when not known.
//
// Keys: pdu_type, smsc, first_octet, sender (DELIVER), destination
// (SUBMIT), recipient (STATUS-REPORT), message_ref, pid, dcs, alphabet
// ("gsm7", "8bit", "ucs2"), message_class, validity, timestamp,
// discharge_time, status, udh, concat_ref, concat_part, concat_total, text.
// Numbers are qint64, the rest QString: addresses with '+' when
// international, time stamps "yy/MM/dd hh:mm:ss +zz" (zone in quarter
// hours), validity in seconds when relative, udh the header's elements as
// hex (its length octet left out), text of 8-bit data as hex. An absent
// service centre (length octet 0) is a smsc field with a null value.
// Whatever cannot be decoded is told in problem; fields decoded before it
// stay.
Decoded DecodeSmsPdu(QByteArrayView hexText, int tpduLength = -1);

// One SMS-SUBMIT to compose.
struct SmsSubmitMessage
{
    QString serviceCentre;        // empty: no address, the module's own ("00")
    QString destination;          // '+' (international) then 0-9 * #, up to 20
    int messageReference = 0;     // 0..255
    quint8 protocolId = 0;
    bool statusReportRequest = false;
    int validityMinutes = -1;     // relative validity period; -1: none
    QString text;                 // GSM 7-bit when it fits, else UCS2
    // The concatenation header of one part (8-bit reference); total 0: none.
    int concatReference = 0;      // 0..255
    int concatPart = 0;           // 1..concatTotal
    int concatTotal = 0;
};

// One PDU ready for AT+CMGS: the hex text and the <length> to give.
struct SmsSubmitPdu
{
    QByteArray hex;
    int tpduLength = 0;
};

// Encodes one SMS-SUBMIT: service-centre part then the TPDU, as hex.
// *tpduLength gets the TPDU's octets. Returns an empty array (and -1) when
// the message cannot be one PDU: the text too long for it, a destination or
// service centre that is not a dialling string, a part number out of range.
QByteArray EncodeSmsSubmit(const SmsSubmitMessage &message, int *tpduLength = nullptr);

// All the PDUs the message's text needs: one when it fits one message
// (160 septets, 70 UTF-16 units), else parts of 153 septets or 67 units,
// each with a concatenation header of concatReference. Empty when a PDU
// cannot be made or it would take more than 255 parts.
QList<SmsSubmitPdu> EncodeSmsSubmitParts(const SmsSubmitMessage &message);
