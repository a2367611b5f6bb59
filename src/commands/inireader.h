#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// A small reader for the INI files of the command sets, with the rules of the
// Windows profile functions (GetPrivateProfileString):
//  - lines end at CR LF, LF or a lone CR;
//  - a line whose first non-blank byte is ';' is a comment;
//  - "[name]" starts a section; the name runs to the last ']' of the line (a
//    line with '[' but no ']' is ignored);
//  - "key = value": blanks around the key and at both ends of the value are
//    dropped, then one pair of matching enclosing quotes (" or ') is removed;
//    a line without '=' and key lines before the first section are ignored;
//  - section and key names are compared without regard to ASCII case (the
//    bytes of a code page 936 double-byte character are compared as they are);
//  - the first section of a name and the first key of a name within it win:
//    keys under a later header of the same name are not seen.
// Values are returned byte for byte (code page 936 text), are always a run of
// the input's bytes and are never cut at any length.
//
// QSettings is not used for these files on purpose: it rewrites values
// (backslash escapes, lists split at commas, quoting), so commands would not
// come back as they were written.
//
// Nothing is indexed: every look-up reads the text once, up to the end of
// the section, which keeps any input, however hostile, at one linear pass and
// no memory beyond the answer. Values() answers many keys in that one pass.
class IniReader
{
public:
    // Larger files are refused by Load.
    static constexpr qint64 kMaxFileSize = 64 * 1024 * 1024;

    IniReader() = default;
    static IniReader FromBytes(QByteArray bytes);

    // Reads the file at path. On failure the reader is empty, *error (when
    // given) says why and names the file, and false is returned: a missing
    // file, anything that is not a regular file, a file larger than
    // kMaxFileSize, a file that cannot be opened or read.
    bool Load(const QString &path, QString *error = nullptr);

    QByteArray Value(const QByteArray &section, const QByteArray &key,
                     const QByteArray &defaultValue = {}) const;
    // The value of each of keys, in their order, defaultValue for those missing.
    QList<QByteArray> Values(const QByteArray &section, const QList<QByteArray> &keys,
                             const QByteArray &defaultValue = {}) const;

    const QByteArray &Bytes() const { return m_data; }

private:
    QByteArray m_data;
};
