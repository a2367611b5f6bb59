#pragma once

#include "atinfo/decoded.h"
#include "runner/runreport.h"

#include <QJsonObject>

#include <optional>

// What the runner makes of the decoder: a command's decoded answer, a
// field's value as the checks compare it, and the answer in the JSON report.

// The answer of a command that ran: its information lines and final result.
Decoded DecodeAnswer(const Transaction &t);
// Whether a check may name it: a field some answer decodes to.
bool IsDecodedName(const QString &name);
// A field's value as text ("-79", "1.5", "registered"); nullopt when the
// answer has no such field or the field has no value.
std::optional<QString> DecodedValueText(const Decoded &answer, const QString &name);
// {"rssi_dbm": -79, "ber": null, ...}: each field's value, numbers as
// numbers; the first of fields with the same key.
QJsonObject DecodedJson(const Decoded &answer);
