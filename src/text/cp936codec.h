#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <memory>

// The system's converter for code page 936 (GBK), one implementation for
// each: Qt's (ICU's "GBK") on Linux, the Windows code page 936 on Windows.
// Stateless: each call converts its bytes or text alone. Bytes that stand
// for no character decode to replacement or private-use characters;
// characters the code page lacks encode to a substitute, so a caller that
// must know checks that the result converts back.
class Cp936Codec
{
public:
    Cp936Codec();
    ~Cp936Codec();
    Cp936Codec(Cp936Codec &&) noexcept;
    Cp936Codec &operator=(Cp936Codec &&) noexcept;

    // False where the system has no such converter.
    bool isValid() const;
    QString decode(QByteArrayView bytes);
    QByteArray encode(QStringView text);

private:
    struct Converters;
    std::unique_ptr<Converters> d;
};
