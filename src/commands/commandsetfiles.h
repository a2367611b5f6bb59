#pragma once

#include "text/codepage936.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// The command-set files: one INI file per module type in the folder "Module"
// of the current directory. The file "<name>.ini" holds the section [<name>]
// with "cmdnum=N" and the keys cmd1 .. cmdN, every line ending in CR LF.
// Commands are code page 936 bytes and are kept as such; names are file-system
// names, and the section name in a file is the name in code page 936.

// A count beyond this marks a damaged or hostile file: it is refused rather
// than making that many rows.
constexpr qint64 kMaxCommandCount = 100000;

// "Module" in the current directory, read afresh at every call; or, once
// UseUserDataModuleDirectory() was called, the user's data folder's
// ($XDG_DATA_HOME/qrvterm/Module, ~/.local/share/qrvterm/Module by default;
// on Windows Documents\qrvterm\Module).
QString ModuleDirectory();
// For a program started from the desktop menu, whose current directory is
// the home folder: command sets are kept under the user's data folder. Makes
// the folders above Module when missing; false when they cannot be made.
bool UseUserDataModuleDirectory();
// The file of a module type: folder + "/" + name + ".ini".
QString CommandSetPath(const QString &folder, const QString &name);
// The name as it stands in the file's section line: code page 936 bytes.
inline QByteArray SectionName(const QString &name) { return ToCodePage936(name); }

// Writes "example.ini" (the set "example" of six commands) into folder.
bool WriteExampleCommandSet(const QString &folder);
// The start-up step for the folder: when nothing at all exists at that path,
// creates the folder and writes the example into it. Anything already there,
// even a plain file or a dangling link, is left alone. True when the folder
// was made.
bool PrepareModuleDirectory(const QString &folder);

// The names of every file in folder and its subfolders at any depth, in the
// order the file system lists them, each with every ".ini" removed (exact
// case). Subfolders whose name starts with '.' and links to folders are not
// entered; folders that cannot be read are skipped.
QStringList ListModuleFiles(const QString &folder);

// The leading decimal integer of text: blanks skipped, an optional sign, the
// digits up to the first other byte; 0 without digits. Saturates at the
// limits of qint64.
qint64 LeadingInteger(QByteArrayView text);

struct CommandSetContents
{
    QList<QByteArray> commands;
    QString error; // set when the file was refused; commands is then empty
};

// The commands of module type `name`, read from CommandSetPath(folder, name).
// A missing file, section, "cmdnum" or count below 1 gives no commands and no
// error; a missing key gives an empty command. A count above
// kMaxCommandCount, or a file that cannot be read, gives an error naming the
// file.
CommandSetContents ReadCommandSet(const QString &folder, const QString &name);

// The line written to the log when a set is loaded:
// "----- <name> <yyyy-mm-dd hh:mm:ss> -----\r\n".
QByteArray CommandSetSeparator(const QString &name, const QDateTime &time);

enum class SaveResult { Saved, NoName, Failed };

// Writes the set to CommandSetPath(folder, name), replacing the whole file.
// The new file takes the old one's place only once it is completely written,
// so a failed save leaves the old file as it was. An empty name writes
// nothing. CR and LF are dropped from commands, as they would break the file.
// On failure *error (when given) says why.
SaveResult SaveCommandSet(const QString &folder, const QString &name,
                          const QList<QByteArray> &commands, QString *error = nullptr);
