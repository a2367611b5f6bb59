#include "text/cp936codec.h"

#include <QStringDecoder>
#include <QStringEncoder>

struct Cp936Codec::Converters
{
    QStringDecoder decoder { "GBK", QStringDecoder::Flag::Stateless };
    QStringEncoder encoder { "GBK", QStringEncoder::Flag::Stateless };
};

Cp936Codec::Cp936Codec() : d(std::make_unique<Converters>()) {}
Cp936Codec::~Cp936Codec() = default;
Cp936Codec::Cp936Codec(Cp936Codec &&) noexcept = default;
Cp936Codec &Cp936Codec::operator=(Cp936Codec &&) noexcept = default;

bool Cp936Codec::isValid() const
{
    return d->decoder.isValid() && d->encoder.isValid();
}

QString Cp936Codec::decode(QByteArrayView bytes)
{
    return d->decoder.decode(bytes);
}

QByteArray Cp936Codec::encode(QStringView text)
{
    return d->encoder.encode(text);
}
