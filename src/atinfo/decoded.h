#pragma once

#include <QList>
#include <QString>
#include <QVariant>

// What a module's answer means: named fields in order, each with a value a
// program compares and words for a person. Made by the decoders of this
// folder; read by the receive view's tooltip, the transactions pane and the
// runner's reports and checks.
struct DecodedField
{
    // A program's name for it: lower case, words joined by '_' ("rssi_dbm",
    // "stat", "tac", "cme_error"). The same key means the same thing for
    // every command that has it.
    QString key;
    // What a program compares: a qint64 for whole numbers, a double for
    // others, a QString for text. Null when the field is present but has
    // no value (an omitted optional parameter, rssi 99 "not known").
    QVariant value;
    // For a person: "-79 dBm", "registered, roaming", "LTE (E-UTRAN)".
    QString text;
};

struct Decoded
{
    // What the line or transaction is, for a person: "Signal quality
    // (+CSQ)". Empty when nothing was recognised.
    QString title;
    QList<DecodedField> fields;
    // Not empty when the input could not be decoded, or only in part: what
    // and why ("rssi 140 is out of range 0..31, 99"; "PDU ends after 12 of
    // 23 octets"). Fields decoded before the fault are kept.
    QString problem;

    bool isEmpty() const { return title.isEmpty() && fields.isEmpty() && problem.isEmpty(); }
    // The field with that key, or nullptr.
    const DecodedField *field(const QString &key) const;
    // For a tooltip or a pane: the title, then a line "key: text" per
    // field, then the problem.
    QString toText() const;
};
