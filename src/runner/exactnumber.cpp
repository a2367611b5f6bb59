#include "runner/exactnumber.h"

namespace {

// An exponent beyond this is refused (the number is taken as text): no
// module sends one, and the arithmetic below stays far from overflow.
constexpr qint64 kMaxExponent = 1'000'000'000;

bool IsDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

std::optional<ExactNumber> ExactNumber::Parse(QStringView text)
{
    text = text.trimmed();
    qsizetype i = 0;
    int sign = 1;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        sign = text[i] == u'-' ? -1 : 1;
        ++i;
    }
    QString digits;
    qsizetype integerDigits = 0;
    bool any = false;
    while (i < text.size() && IsDigit(text[i])) {
        digits += text[i++];
        ++integerDigits;
        any = true;
    }
    if (i < text.size() && text[i] == u'.') {
        ++i;
        while (i < text.size() && IsDigit(text[i])) {
            digits += text[i++];
            any = true;
        }
    }
    if (!any)
        return std::nullopt;
    qint64 exponent = 0;
    if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        int expSign = 1;
        if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
            expSign = text[i] == u'-' ? -1 : 1;
            ++i;
        }
        if (i == text.size() || !IsDigit(text[i]))
            return std::nullopt;
        while (i < text.size() && IsDigit(text[i])) {
            exponent = exponent * 10 + (text[i++].unicode() - u'0');
            if (exponent > 4 * kMaxExponent)
                return std::nullopt;
        }
        exponent *= expSign;
    }
    if (i != text.size())
        return std::nullopt;

    ExactNumber n;
    // 0.<digits> x 10^integerDigits, less the leading zeros.
    qsizetype lead = 0;
    while (lead < digits.size() && digits[lead] == u'0')
        ++lead;
    qsizetype end = digits.size();
    while (end > lead && digits[end - 1] == u'0')
        --end;
    if (lead == end)
        return n; // zero, whatever its sign
    n.m_sign = sign;
    n.m_digits = digits.mid(lead, end - lead);
    n.m_exponent = qint64(integerDigits) - qint64(lead) + exponent;
    if (n.m_exponent > kMaxExponent || n.m_exponent < -kMaxExponent)
        return std::nullopt;
    return n;
}

int ExactNumber::Compare(const ExactNumber &other) const
{
    if (m_sign != other.m_sign)
        return m_sign < other.m_sign ? -1 : 1;
    if (m_sign == 0)
        return 0;
    // Same sign: compare magnitudes, then turn the answer for negatives.
    int magnitude = 0;
    if (m_exponent != other.m_exponent)
        magnitude = m_exponent < other.m_exponent ? -1 : 1;
    else // no trailing zeros: a digit string that is a prefix of the other is less
        magnitude = m_digits.compare(other.m_digits) < 0 ? -1 : m_digits == other.m_digits ? 0 : 1;
    return m_sign * magnitude;
}

QString ExactNumber::Canonical() const
{
    if (m_sign == 0)
        return QStringLiteral("0");
    return (m_sign < 0 ? QStringLiteral("-0.") : QStringLiteral("0.")) + m_digits + QLatin1Char('e')
           + QString::number(m_exponent);
}
