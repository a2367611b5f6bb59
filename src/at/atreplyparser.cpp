#include "at/atreplyparser.h"

#include <QByteArrayView>
#include <utility>

namespace {

// Unsolicited result codes sent as "<name>: ..." (RING stands alone).
constexpr QByteArrayView kUrcNames[] = {
    "+CRING", "+CMTI", "+CMT",  "+CDS",  "+CDSI", "+CBM", "+CBMI", "+CREG", "+CGREG", "+CEREG",
    "+C5GREG", "+CLIP", "+CCWA", "+CUSD", "+CIEV", "+CGEV", "+CSSI", "+CSSU", "+CTZV", "+CTZE"};
// URCs whose next line is the message they announce.
constexpr QByteArrayView kTwoLineUrcs[] = {"+CMT:", "+CDS:", "+CBM:"};
// Commands that ask for a body besides the ...SEND family.
constexpr QByteArrayView kBodyCommands[] = {"+CMGS", "+CMGW", "+CMGC", "+CNMA"};

constexpr QByteArrayView kPrompt("> ");

// The text without its trailing control bytes (the SUB that ends a body).
QByteArrayView WithoutTrailingControls(QByteArrayView text)
{
    while (!text.isEmpty() && (uchar(text.back()) < 0x20 || uchar(text.back()) == 0x7F))
        text.chop(1);
    return text;
}

// V.250's characters of an extended command's name, in either case.
bool IsNameChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
        || QByteArrayView("!%-./:_").contains(c);
}

} // namespace

AtFinalResult AtFinalResult::Classify(const QByteArray &line)
{
    static constexpr struct
    {
        QByteArrayView text;
        Code code;
    } kExact[] = {{"OK", Code::Ok},           {"ERROR", Code::Error},        {"CONNECT", Code::Connect},
                  {"NO CARRIER", Code::NoCarrier}, {"BUSY", Code::Busy}, {"NO ANSWER", Code::NoAnswer},
                  {"NO DIALTONE", Code::NoDialtone}};
    static constexpr struct
    {
        QByteArrayView prefix;
        Code code;
    } kErrors[] = {{"+CME ERROR:", Code::CmeError}, {"+CMS ERROR:", Code::CmsError}};

    AtFinalResult result;
    result.text = line;
    const QByteArrayView view(line);
    for (const auto &e : kExact) {
        if (view == e.text)
            result.code = e.code;
    }
    if (view.startsWith("CONNECT "))
        result.code = Code::Connect;
    for (const auto &e : kErrors) {
        if (!view.startsWith(e.prefix))
            continue;
        result.code = e.code;
        const QByteArrayView rest = view.sliced(e.prefix.size()).trimmed();
        bool isNumber = !rest.isEmpty() && rest.size() <= 9;
        for (char c : rest)
            isNumber = isNumber && c >= '0' && c <= '9';
        if (isNumber)
            result.number = rest.toInt();
    }
    return result;
}

const char *AtFinalResult::Name(Code code)
{
    switch (code) {
    case Code::None: return "";
    case Code::Ok: return "OK";
    case Code::Connect: return "CONNECT";
    case Code::Prompt: return "PROMPT";
    case Code::Error: return "ERROR";
    case Code::CmeError: return "+CME ERROR";
    case Code::CmsError: return "+CMS ERROR";
    case Code::NoCarrier: return "NO CARRIER";
    case Code::Busy: return "BUSY";
    case Code::NoAnswer: return "NO ANSWER";
    case Code::NoDialtone: return "NO DIALTONE";
    }
    return "";
}

AtReplyParser::AtReplyParser(Sink sink) : m_sink(std::move(sink)) {}

void AtReplyParser::BeginCommand(const QByteArray &command)
{
    GiveOutHeld(0);
    m_command = command;
    m_commandName = CommandName(command);
    m_bodyAsked = AsksForBody(command);
    m_pending = true;
    m_sawLine = false;
}

void AtReplyParser::EndCommand()
{
    GiveOutHeld(0);
    m_pending = false;
}

bool AtReplyParser::CommandPending() const
{
    return m_pending;
}

void AtReplyParser::Feed(const char *data, qsizetype n)
{
    for (qsizetype i = 0; i < n;) {
        const char c = data[i];
        if (c == '\r' || c == '\n') {
            if (m_line.isEmpty()) {
                m_cut = false;
                Event noise;
                noise.text = QByteArray(1, c);
                noise.bytes = 1;
                Emit(noise);
            } else {
                GiveOutHeld(1);
            }
            ++i;
            continue;
        }
        if (m_line.size() == kMaxLineLength)
            CutHeld();
        // The bytes up to the line end go in at once, but never past the
        // length limit, nor past the prompt's length at a line's start (it
        // is looked for there).
        qsizetype end = i + 1;
        while (end < n && data[end] != '\r' && data[end] != '\n')
            ++end;
        qsizetype take = std::min(end - i, kMaxLineLength - m_line.size());
        if (m_line.size() < kPrompt.size())
            take = std::min(take, kPrompt.size() - m_line.size());
        m_line.append(data + i, take);
        i += take;
        // The prompt comes with no line end: it is taken as soon as it is held.
        if (m_line.size() == kPrompt.size() && m_line == kPrompt && m_pending && m_bodyAsked && !m_cut
            && !m_urcBodyNext) {
            Event prompt;
            prompt.kind = Kind::Final;
            prompt.text = std::exchange(m_line, QByteArray());
            prompt.bytes = prompt.text.size();
            prompt.final.code = AtFinalResult::Code::Prompt;
            prompt.final.text = prompt.text;
            m_pending = false;
            m_sawLine = true;
            Emit(prompt);
        }
    }
}

void AtReplyParser::Flush()
{
    GiveOutHeld(0);
}

qsizetype AtReplyParser::PendingBytes() const
{
    return m_line.size();
}

bool AtReplyParser::IsKnownUrc(const QByteArray &line, const QByteArray &commandName)
{
    if (line == "RING")
        return true;
    for (QByteArrayView name : kUrcNames) {
        if (line.size() > name.size() && line[name.size()] == ':' && line.startsWith(name)
            && QByteArrayView(commandName) != name)
            return true;
    }
    return false;
}

QByteArray AtReplyParser::CommandName(const QByteArray &command)
{
    const QByteArrayView line = QByteArrayView(command).trimmed();
    if (line.size() < 4 || (line[0] != 'A' && line[0] != 'a') || (line[1] != 'T' && line[1] != 't')
        || !QByteArrayView("+^$#*%").contains(line[2]))
        return QByteArray();
    qsizetype end = 3;
    while (end < line.size() && IsNameChar(line[end]))
        ++end;
    return end == 3 ? QByteArray() : line.sliced(2, end - 2).toByteArray().toUpper();
}

bool AtReplyParser::AsksForBody(const QByteArray &command)
{
    const QByteArray name = CommandName(command);
    if (name.isEmpty())
        return false;
    const QByteArrayView rest = QByteArrayView(command).trimmed().sliced(2 + name.size());
    if (rest.startsWith('?') || rest.startsWith("=?"))
        return false;
    for (QByteArrayView body : kBodyCommands) {
        if (name == body)
            return true;
    }
    return name.endsWith("SEND");
}

void AtReplyParser::Emit(const Event &event)
{
    if (m_sink)
        m_sink(event);
}

// Decides what a line is; a line not `whole` is the first part of a line cut
// at kMaxLineLength, which is no echo and no final result code.
void AtReplyParser::Judge(Event &event, bool whole)
{
    const QByteArray &text = event.text;
    if (std::exchange(m_urcBodyNext, false)) {
        event.kind = Kind::Urc;
        event.continuation = true;
    } else if (!m_pending || IsKnownUrc(text, m_commandName)) {
        event.kind = Kind::Urc;
        for (QByteArrayView name : kTwoLineUrcs)
            m_urcBodyNext = m_urcBodyNext || text.startsWith(name);
    } else if (whole && !m_sawLine
               && WithoutTrailingControls(text) == WithoutTrailingControls(m_command)) {
        event.kind = Kind::Echo;
    } else if (whole && (event.final = AtFinalResult::Classify(text)).code != AtFinalResult::Code::None) {
        event.kind = Kind::Final;
        m_pending = false;
    } else {
        event.kind = Kind::Info;
        event.final = AtFinalResult();
    }
    // A URC may come before the echo; a line of the reply may not.
    m_sawLine = m_sawLine || event.kind != Kind::Urc;
}

// Gives out the held line with the line end that ended it (lineEndBytes 1)
// or none (0); nothing when no line is held.
void AtReplyParser::GiveOutHeld(qsizetype lineEndBytes)
{
    if (m_line.isEmpty()) {
        m_cut = false;
        return;
    }
    Event event;
    event.text = std::exchange(m_line, QByteArray());
    event.bytes = event.text.size() + lineEndBytes;
    if (m_cut) {
        event.kind = m_cutKind;
        event.continuation = m_cutContinuation;
        m_cut = false;
    } else {
        Judge(event, true);
    }
    Emit(event);
}

// Gives out the held line, which reached kMaxLineLength, as it stands; the
// rest of the line follows as the same kind.
void AtReplyParser::CutHeld()
{
    Event event;
    event.text = std::exchange(m_line, QByteArray());
    event.bytes = event.text.size();
    if (m_cut) {
        event.kind = m_cutKind;
        event.continuation = m_cutContinuation;
    } else {
        Judge(event, false);
        m_cut = true;
        m_cutKind = event.kind;
        m_cutContinuation = event.continuation;
    }
    Emit(event);
}
