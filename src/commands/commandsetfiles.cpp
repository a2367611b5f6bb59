#include "commands/commandsetfiles.h"

#include "commands/inireader.h"

#include <QDir>
#include <QOperatingSystemVersion>
#include <QStandardPaths>
#include <QDirIterator>
#include <QFileInfo>
#include <QSaveFile>
#include <cstdio>
#include <limits>

namespace {

const QList<QByteArray> kExampleCommands = {
    "AT", "ATE0", "AT+CMGF=1", "AT+CSCA?", "AT+CMGR=1", "AT+CMGD=1",
};

bool HasLineBreak(QByteArrayView text)
{
    return text.contains('\r') || text.contains('\n');
}

void AppendModuleFiles(const QString &folder, QStringList &names)
{
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        const QString name = info.fileName();
        if (info.isDir()) {
            // A link to a folder is not followed: a link loop would never end.
            if (!info.isSymLink() && !name.startsWith(u'.'))
                AppendModuleFiles(info.filePath(), names);
            continue;
        }
        names.append(QString(name).remove(QStringLiteral(".ini"), Qt::CaseSensitive));
    }
}

} // namespace

namespace {

QString &UserDataModuleDirectory()
{
    static QString folder; // empty: the current directory's
    return folder;
}

} // namespace

QString ModuleDirectory()
{
    const QString &userData = UserDataModuleDirectory();
    return userData.isEmpty() ? QDir::currentPath() + QStringLiteral("/Module") : userData;
}

bool UseUserDataModuleDirectory()
{
    // The user's own files: ~/.local/share on Linux; the documents folder on
    // Windows, where users look for what a program keeps for them.
    const auto where = QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows
        ? QStandardPaths::DocumentsLocation
        : QStandardPaths::GenericDataLocation;
    const QString data = QStandardPaths::writableLocation(where);
    if (data.isEmpty())
        return false;
    const QString parent = data + QStringLiteral("/qrvterm");
    UserDataModuleDirectory() = parent + QStringLiteral("/Module");
    return QDir().mkpath(parent);
}

QString CommandSetPath(const QString &folder, const QString &name)
{
    return folder + u'/' + name + QStringLiteral(".ini");
}

bool WriteExampleCommandSet(const QString &folder)
{
    return SaveCommandSet(folder, QStringLiteral("example"), kExampleCommands) == SaveResult::Saved;
}

bool PrepareModuleDirectory(const QString &folder)
{
    const QFileInfo info(folder);
    if (info.exists() || info.isSymLink())
        return false;
    if (!QDir().mkdir(folder))
        return false;
    WriteExampleCommandSet(folder);
    return true;
}

QStringList ListModuleFiles(const QString &folder)
{
    QStringList names;
    AppendModuleFiles(folder, names);
    return names;
}

qint64 LeadingInteger(QByteArrayView text)
{
    constexpr qint64 kMax = std::numeric_limits<qint64>::max();
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    qint64 value = 0;
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
    }
    return negative ? -value : value;
}

CommandSetContents ReadCommandSet(const QString &folder, const QString &name)
{
    CommandSetContents result;
    const QString path = CommandSetPath(folder, name);
    if (name.isEmpty() || !QFileInfo::exists(path))
        return result;
    IniReader ini;
    if (!ini.Load(path, &result.error))
        return result;
    const QByteArray section = SectionName(name);
    const qint64 count = LeadingInteger(ini.Value(section, "cmdnum"));
    if (count > kMaxCommandCount) {
        result.error = QStringLiteral("%1: cmdnum is %2, more than %3 commands; the file is not loaded")
                           .arg(path)
                           .arg(count)
                           .arg(kMaxCommandCount);
        return result;
    }
    QList<QByteArray> keys;
    for (qint64 k = 1; k <= count; ++k)
        keys.append("cmd" + QByteArray::number(k));
    result.commands = ini.Values(section, keys);
    return result;
}

QByteArray CommandSetSeparator(const QString &name, const QDateTime &time)
{
    const QDate d = time.date();
    const QTime t = time.time();
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%d-%02d-%02d %02d:%02d:%02d", d.year(), d.month(), d.day(), t.hour(),
                  t.minute(), t.second());
    return "----- " + SectionName(name) + ' ' + stamp + " -----\r\n";
}

SaveResult SaveCommandSet(const QString &folder, const QString &name,
                          const QList<QByteArray> &commands, QString *error)
{
    if (name.isEmpty())
        return SaveResult::NoName;
    const QString path = CommandSetPath(folder, name);
    auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, why);
        return SaveResult::Failed;
    };
    const QByteArray section = SectionName(name);
    if (HasLineBreak(section))
        return fail(QStringLiteral("a name with a line break cannot be a section"));

    QByteArray text = "[" + section + "]\r\ncmdnum=" + QByteArray::number(commands.size()) + "\r\n";
    for (qsizetype i = 0; i < commands.size(); ++i) {
        QByteArray command = commands[i];
        if (HasLineBreak(command))
            command.removeIf([](char c) { return c == '\r' || c == '\n'; });
        text += "cmd" + QByteArray::number(i + 1) + '=' + command + "\r\n";
    }

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    if (file.write(text) != text.size() || !file.commit())
        return fail(file.errorString());
    return SaveResult::Saved;
}
