// Command-line syntax: extended commands as parsed and their parameters.
#pragma once

#include <QByteArray>
#include <QList>

#include <optional>

namespace SimInternal {

enum class Form { Exec, Read, Test, Set };

struct Param
{
    QByteArray text;
    bool quoted = false;
};

struct Command
{
    QByteArray name;
    Form form = Form::Exec;
    QList<Param> params;
    QList<QByteArray> info;
};

inline std::optional<int> toInt(const Param &p)
{
    if (p.quoted || p.text.isEmpty() || p.text.size() > 9)
        return std::nullopt;
    int v = 0;
    for (char c : p.text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

// An optional integer parameter: absent or empty gives fallback.
inline std::optional<int> optionalInt(const QList<Param> &params, qsizetype i, int fallback)
{
    if (i >= params.size() || (!params[i].quoted && params[i].text.isEmpty()))
        return fallback;
    return toInt(params[i]);
}

// The extended command ('+', name, form, parameters) at pos of a line
// already stripped of spaces and upper-cased outside strings, whose strings
// are balanced. Moves pos past it and the ';' after it; false when its
// syntax is wrong.
bool parseExtended(const QByteArray &cmd, qsizetype &pos, Command &c);

} // namespace SimInternal
