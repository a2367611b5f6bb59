#include "atinfo/decoded.h"

const DecodedField *Decoded::field(const QString &key) const
{
    for (const DecodedField &f : fields)
        if (f.key == key)
            return &f;
    return nullptr;
}

QString Decoded::toText() const
{
    QStringList lines;
    if (!title.isEmpty())
        lines << title;
    for (const DecodedField &f : fields)
        lines << f.key + QStringLiteral(": ") + f.text;
    if (!problem.isEmpty())
        lines << QStringLiteral("Not decoded: ") + problem;
    return lines.join(u'\n');
}
