#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// End-character choices of the "End Char" radio group, in its order.
enum EndChar : int {
    END_NULL = 0,
    END_CR = 1,
    END_LF = 2,
    END_CR_LF = 3,
    END_SUB = 4,
    END_CUSTOM = 5,
};

// One hexadecimal digit pair to a byte. 0-9, A-F and a-f are digits; any
// other character counts as the digit 0.
quint8 HexPairToByte(char high, char low);

// Hex text as the bytes it stands for: pairs of hex digits, with spaces,
// tabs and line ends anywhere between them ignored. Unlike the custom box,
// which sends what it can of a half-typed end, nothing is guessed: a
// character that is not a hex digit, or an odd count of digits, gives
// nothing, with *why saying where (1-based offsets).
std::optional<QByteArray> HexTextToBytes(const QByteArray &text, QString *why);

// The bytes that go out for one command, and what sending it adds to the log.
struct CommandFrame
{
    QByteArray bytes;          // command followed by its end bytes, any length
    QByteArray logText;        // appended to the session log (may be empty)
    bool logLineBreak = false; // a line break goes into the log before logText
};

// Frames `command` (bytes as typed, code page 936) under `endChar`.
// `customHex` is the text of the custom end-character box; `nullLineBreak`
// asks for the log's line break under END_NULL (the Send button and Send All
// ask for it, the list's double-click does not).
CommandFrame BuildCommandFrame(const QByteArray &command, int endChar, const QByteArray &customHex,
                               bool nullLineBreak);

// Whether `received` is no more than the echo of `command`: the command's
// bytes, with nothing but line ends, blanks and zero bytes around them. A
// module that waits for the end of a command line answers so to a command
// sent without one.
bool IsOnlyEcho(const QByteArray &command, const QByteArray &received);
