#include "runner/decodedanswer.h"

#include "atinfo/decodedkeys.h"
#include "atinfo/replydecoder.h"

#include <QJsonValue>

Decoded DecodeAnswer(const Transaction &t)
{
    return DecodeTransaction(t.command, t.info, t.final.text);
}

bool IsDecodedName(const QString &name)
{
    return IsDecodedKey(name);
}

std::optional<QString> DecodedValueText(const Decoded &answer, const QString &name)
{
    const DecodedField *f = answer.field(name);
    if (!f || f->value.isNull() || !f->value.isValid())
        return std::nullopt;
    switch (f->value.typeId()) {
    case QMetaType::Double: {
        // Plain digits, which the checks' exact numbers read.
        QString text = QString::number(f->value.toDouble(), 'f', 6);
        while (text.endsWith(u'0'))
            text.chop(1);
        if (text.endsWith(u'.'))
            text.chop(1);
        return text;
    }
    default:
        return f->value.toString();
    }
}

QJsonObject DecodedJson(const Decoded &answer)
{
    QJsonObject o;
    for (const DecodedField &f : answer.fields) {
        if (o.contains(f.key))
            continue;
        o.insert(f.key, f.value.isNull() || !f.value.isValid() ? QJsonValue() : QJsonValue::fromVariant(f.value));
    }
    return o;
}
