#pragma once

#include <QByteArray>
#include <QString>

// A command is a line of code page 936 bytes, kept and sent byte for byte.
// The command list shows it as text: every byte or pair that decodes is shown
// as its character, every byte that does not (a lone 0xFF, a lead byte
// without its trail, a pair that maps to nothing) as "\xHH", so that nothing
// in the command is hidden or changed by showing it.
QString CommandDisplayText(const QByteArray &bytes);

// The bytes of a command whose shown text was edited from
// CommandDisplayText(original) to `edited`: the unchanged start and end of the
// text keep their original bytes (undecodable ones included), and only what
// was typed in between is encoded to code page 936. Text that was not changed
// gives `original` back exactly.
QByteArray EditedCommandBytes(const QByteArray &original, const QString &edited);
