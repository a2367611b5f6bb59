#pragma once

#include <QByteArray>
#include <QString>

// Text to and from code page 936 (GBK), the encoding of commands, command-set
// files and the port; the local 8-bit encoding where no GBK converter exists.
QByteArray ToCodePage936(const QString &text);
QString FromCodePage936(const QByteArray &bytes);
