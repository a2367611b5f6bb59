#pragma once

#include "atinfo/decoded.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// What a module's reply lines mean, in named fields (decoded.h), after ITU-T
// V.250, 3GPP TS 27.007 and 27.005 and the table of atknowledge.h.
//
// One line a module sent: an information line, an unsolicited result code
// or a final result code, without its line end. `command` is the command it
// answered when known ("AT+CREG?"): it tells a read answer from an
// unsolicited code of the same name ("+CREG: <n>,<stat>" against
// "+CREG: <stat>"), names the answers that have no prefix (AT+CGSN, AT+CIMI)
// and the test form's lists. Without it the field count and the quotes tell.
//
// A line the decoders do not know gives an empty Decoded. A known line that
// is out of range (rssi 40), cut short or of the wrong type (a string where
// a number belongs) gives the fields read before the fault and a `problem`
// that says what and why; a value is never guessed.
//
// A lone digit is no final result code here (it may be an answer such as
// ATS0?'s "0"): DecodeTransaction takes the numeric codes of ATV0.
Decoded DecodeReplyLine(QByteArrayView line, QByteArrayView command = {});

// A whole answer: the command as sent, its information lines in order (no
// echo) and its final result line (empty when none came; a lone number
// there is read as a numeric ATV0 result code).
//
// Each information line is decoded as DecodeReplyLine does; the line after
// a PDU-mode header (+CMGR, +CMGL, +CMT, +CDS) is its PDU, and the line
// after a text-mode header is its data (key "data"). Fields of one record
// keep their keys; when the answer has several records (+CMGL, +CGDCONT?,
// +CLCC, +COPS=? entries ...) every record's keys get "_1", "_2", ... in the
// order of the lines ("cid_1", "apn_1", "cid_2", ...). The final result's
// fields ("result", "cme_error", "cms_error") come last, without suffix.
// Problems of lines are joined with "; ", each after "line <n>: ".
Decoded DecodeTransaction(QByteArrayView command, const QList<QByteArray> &lines, QByteArrayView finalLine);
