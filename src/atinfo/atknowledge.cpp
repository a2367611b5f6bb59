#include "atinfo/atknowledge.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <algorithm>

// resources/atcommands.json, made into a source file by embedfile.cmake.
extern const unsigned char kAtCommandsJson[];
extern const int kAtCommandsJson_size;

namespace {

const QString kFormNames[] = {QStringLiteral("action"), QStringLiteral("test"), QStringLiteral("read"),
                              QStringLiteral("set"), QStringLiteral("unsolicited")};

std::optional<AtFormKind> FormKindOf(const QString &name)
{
    for (int i = 0; i < 5; ++i)
        if (kFormNames[i] == name)
            return AtFormKind(i);
    return std::nullopt;
}

// "2..30" as 2 and 30; a plain number as itself twice.
bool NumberRange(QStringView key, qint64 *from, qint64 *to)
{
    const qsizetype dots = key.indexOf(u"..");
    bool ok1 = false, ok2 = false;
    if (dots < 0) {
        *from = *to = key.toLongLong(&ok1);
        return ok1;
    }
    *from = key.left(dots).toLongLong(&ok1);
    *to = key.mid(dots + 2).toLongLong(&ok2);
    return ok1 && ok2;
}

qint64 SortKey(const QString &key)
{
    qint64 from = 0, to = 0;
    return NumberRange(key, &from, &to) ? from : std::numeric_limits<qint64>::max();
}

QList<QPair<int, QString>> NumberedTexts(const QJsonObject &object)
{
    QList<QPair<int, QString>> list;
    for (auto it = object.begin(); it != object.end(); ++it)
        list.append({it.key().toInt(), it.value().toString()});
    std::sort(list.begin(), list.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    return list;
}

bool IsBasicLetter(QChar c)
{
    return c.isLetter() && c.unicode() < 128;
}

} // namespace

QString AtParameter::ValueText(QStringView value) const
{
    for (const auto &entry : values)
        if (QStringView(entry.first).compare(value, Qt::CaseInsensitive) == 0)
            return entry.second;
    bool isNumber = false;
    const qint64 number = value.toLongLong(&isNumber);
    if (!isNumber)
        return {};
    for (const auto &entry : values) {
        qint64 from = 0, to = 0;
        if (NumberRange(entry.first, &from, &to) && from <= number && number <= to)
            return entry.second;
    }
    return {};
}

const AtForm *AtCommandInfo::Form(AtFormKind kind) const
{
    for (const AtForm &form : forms)
        if (form.kind == kind)
            return &form;
    return nullptr;
}

const AtParameter *AtCommandInfo::Parameter(QStringView parameterName) const
{
    for (const AtParameter &parameter : parameters)
        if (QStringView(parameter.name).compare(parameterName, Qt::CaseInsensitive) == 0)
            return &parameter;
    return nullptr;
}

QString AtCommandInfo::DisplayName() const
{
    return QStringLiteral("AT") + name;
}

const AtKnowledge &AtKnowledge::Instance()
{
    static const AtKnowledge knowledge; // C++ makes its first construction thread-safe
    return knowledge;
}

AtKnowledge::AtKnowledge()
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(reinterpret_cast<const char *>(kAtCommandsJson), kAtCommandsJson_size), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        m_loadProblem = QStringLiteral("atcommands.json at offset %1: %2").arg(error.offset).arg(error.errorString());
        return;
    }
    const QJsonObject root = document.object();
    for (const QJsonValue &source : root.value(u"sources").toArray())
        m_sources << source.toString();

    for (const QJsonValue &value : root.value(u"commands").toArray()) {
        const QJsonObject object = value.toObject();
        AtCommandInfo command;
        command.name = object.value(u"name").toString();
        command.description = object.value(u"description").toString();
        command.source = object.value(u"source").toString();
        for (const QJsonValue &formValue : object.value(u"forms").toArray()) {
            const QJsonObject formObject = formValue.toObject();
            const auto kind = FormKindOf(formObject.value(u"kind").toString());
            if (!kind) {
                m_loadProblem = QStringLiteral("atcommands.json: %1 has a form of unknown kind \"%2\"")
                                    .arg(command.name, formObject.value(u"kind").toString());
                continue;
            }
            command.forms.append({*kind, formObject.value(u"syntax").toString(), formObject.value(u"response").toString()});
        }
        for (const QJsonValue &parameterValue : object.value(u"parameters").toArray()) {
            const QJsonObject parameterObject = parameterValue.toObject();
            AtParameter parameter;
            parameter.name = parameterObject.value(u"name").toString();
            parameter.meaning = parameterObject.value(u"meaning").toString();
            const QJsonObject values = parameterObject.value(u"values").toObject();
            for (auto it = values.begin(); it != values.end(); ++it)
                parameter.values.append({it.key(), it.value().toString()});
            // A JSON object's keys come back sorted as text ("10" before "2").
            std::stable_sort(parameter.values.begin(), parameter.values.end(),
                             [](const auto &a, const auto &b) { return SortKey(a.first) < SortKey(b.first); });
            command.parameters.append(parameter);
        }
        m_commands.append(command);
    }
    for (const QJsonValue &value : root.value(u"result_codes").toArray()) {
        const QJsonObject object = value.toObject();
        m_results.append({object.value(u"number").toInt(-1), object.value(u"verbose").toString(),
                          object.value(u"meaning").toString()});
    }
    m_cme = NumberedTexts(root.value(u"cme_errors").toObject());
    m_cms = NumberedTexts(root.value(u"cms_errors").toObject());
    for (const QJsonValue &value : root.value(u"cms_error_ranges").toArray()) {
        const QJsonObject object = value.toObject();
        m_cmsRanges.append({qint64(object.value(u"from").toDouble()), qint64(object.value(u"to").toDouble()),
                            object.value(u"text").toString()});
    }
}

QString AtKnowledge::CommandName(QStringView typed)
{
    QStringView rest = typed.trimmed();
    if (rest.startsWith(u"AT", Qt::CaseInsensitive))
        rest = rest.mid(2);
    else if (rest.isEmpty() || !QStringLiteral("+^$#*%&").contains(rest.front()))
        return {};
    if (rest.isEmpty())
        return {};
    const QChar first = rest.front();
    if (QStringLiteral("+^$#*%").contains(first)) {
        qsizetype end = 1;
        // V.250 5.4.1: a name is letters, digits and ! % - . / : _
        while (end < rest.size() && rest[end].unicode() < 128
               && (rest[end].isLetterOrNumber() || QStringLiteral("!%-./:_").contains(rest[end])))
            ++end;
        return end > 1 ? rest.left(end).toString().toUpper() : QString();
    }
    if (first == u'&')
        return rest.size() > 1 && IsBasicLetter(rest[1]) ? rest.left(2).toString().toUpper() : QString();
    if (first.toUpper() == u'S' && rest.size() > 1 && rest[1].isDigit()) {
        qsizetype end = 1;
        while (end < rest.size() && rest[end].isDigit())
            ++end;
        return QStringLiteral("S") + QString::number(rest.mid(1, end - 1).toInt());
    }
    return IsBasicLetter(first) ? QString(first.toUpper()) : QString();
}

std::optional<AtFormKind> AtKnowledge::FormOf(QStringView typed)
{
    const QString name = CommandName(typed);
    if (name.isEmpty())
        return std::nullopt;
    QStringView rest = typed.trimmed();
    if (rest.startsWith(u"AT", Qt::CaseInsensitive))
        rest = rest.mid(2);
    rest = rest.mid(name.size());
    // A basic command's value ("E0", "D123;") belongs to its action form;
    // only the S registers and extended commands take '?' and '='.
    const bool takesForms = !IsBasicLetter(name.front()) || (name.front() == u'S' && name.size() > 1);
    if (!takesForms)
        return AtFormKind::Action;
    rest = rest.trimmed();
    if (rest.startsWith(u"=?"))
        return AtFormKind::Test;
    if (rest.startsWith(u'?'))
        return AtFormKind::Read;
    if (rest.startsWith(u'='))
        return AtFormKind::Set;
    return AtFormKind::Action;
}

QString AtKnowledge::FormName(AtFormKind kind)
{
    return kFormNames[int(kind)];
}

const AtCommandInfo *AtKnowledge::Command(QStringView typed) const
{
    const QString name = CommandName(typed);
    if (name.isEmpty())
        return nullptr;
    for (const AtCommandInfo &command : m_commands)
        if (command.name.compare(name, Qt::CaseInsensitive) == 0)
            return &command;
    return nullptr;
}

QString AtKnowledge::CmeErrorText(int number) const
{
    for (const auto &entry : m_cme)
        if (entry.first == number)
            return entry.second;
    return {};
}

QString AtKnowledge::CmsErrorText(int number) const
{
    for (const auto &entry : m_cms)
        if (entry.first == number)
            return entry.second;
    for (const Range &range : m_cmsRanges)
        if (range.from <= number && number <= range.to)
            return range.text;
    return {};
}

int AtKnowledge::CmeErrorNumber(QStringView text) const
{
    for (const auto &entry : m_cme)
        if (QStringView(entry.second).compare(text.trimmed(), Qt::CaseInsensitive) == 0)
            return entry.first;
    return -1;
}

int AtKnowledge::CmsErrorNumber(QStringView text) const
{
    for (const auto &entry : m_cms)
        if (QStringView(entry.second).compare(text.trimmed(), Qt::CaseInsensitive) == 0)
            return entry.first;
    return -1;
}

std::optional<AtResultCode> AtKnowledge::ResultCode(int number) const
{
    for (const AtResultCode &code : m_results)
        if (code.number == number)
            return code;
    return std::nullopt;
}

std::optional<AtResultCode> AtKnowledge::ResultCode(QStringView verbose) const
{
    for (const AtResultCode &code : m_results)
        if (QStringView(code.verbose).compare(verbose.trimmed(), Qt::CaseInsensitive) == 0)
            return code;
    return std::nullopt;
}

QString AtKnowledge::ValueText(QStringView commandName, QStringView parameterName, QStringView value) const
{
    const AtCommandInfo *command = Command(commandName);
    const AtParameter *parameter = command ? command->Parameter(parameterName) : nullptr;
    return parameter ? parameter->ValueText(value) : QString();
}
