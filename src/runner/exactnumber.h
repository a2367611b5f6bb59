#pragma once

#include <QString>
#include <optional>

// A decimal number read from text and compared exactly: "89860099123456789999"
// and "89860099123456789018" differ although no double tells them apart
// (ICCIDs and IMEIs have more digits than a double holds), and "0.1" equals
// "0.10" and "1e-1".
//
// The text is [+-]digits[.digits][e[+-]digits] (or .digits), with spaces
// around it; anything else is no number.
class ExactNumber
{
public:
    static std::optional<ExactNumber> Parse(QStringView text);

    // -1, 0 or 1 as this is less than, equal to or greater than other.
    int Compare(const ExactNumber &other) const;
    friend bool operator==(const ExactNumber &a, const ExactNumber &b) { return a.Compare(b) == 0; }

    // The value as 0.<digits> x 10^exponent, for messages and tests:
    // "0", "-0.123e3".
    QString Canonical() const;

private:
    int m_sign = 0;        // -1, 0 (zero) or 1
    QString m_digits;      // significant digits: no leading or trailing zeros
    qint64 m_exponent = 0; // the value is 0.<digits> x 10^exponent
};
