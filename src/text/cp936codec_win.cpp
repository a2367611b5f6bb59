#include "text/cp936codec.h"

#include <windows.h>

// Windows' own code page 936. Qt on Windows converts only Unicode and the
// system's ANSI code page without ICU, so the conversion is the system's,
// which is what other Windows programs use for the same files.

namespace {

constexpr UINT kCodePage = 936;

} // namespace

struct Cp936Codec::Converters
{
};

Cp936Codec::Cp936Codec() : d(std::make_unique<Converters>()) {}
Cp936Codec::~Cp936Codec() = default;
Cp936Codec::Cp936Codec(Cp936Codec &&) noexcept = default;
Cp936Codec &Cp936Codec::operator=(Cp936Codec &&) noexcept = default;

bool Cp936Codec::isValid() const
{
    return ::IsValidCodePage(kCodePage);
}

QString Cp936Codec::decode(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return QString();
    const int n = ::MultiByteToWideChar(kCodePage, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    QString text(n, Qt::Uninitialized);
    ::MultiByteToWideChar(kCodePage, 0, bytes.data(), int(bytes.size()), reinterpret_cast<wchar_t *>(text.data()), n);
    return text;
}

QByteArray Cp936Codec::encode(QStringView text)
{
    if (text.isEmpty())
        return QByteArray();
    const auto *wide = reinterpret_cast<const wchar_t *>(text.utf16());
    const int n = ::WideCharToMultiByte(kCodePage, 0, wide, int(text.size()), nullptr, 0, nullptr, nullptr);
    QByteArray bytes(n, Qt::Uninitialized);
    ::WideCharToMultiByte(kCodePage, 0, wide, int(text.size()), bytes.data(), n, nullptr, nullptr);
    return bytes;
}
