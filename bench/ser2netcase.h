#pragma once

// How a network benchmark case asks ser2net to serve: "raw" or "rfc2217",
// then optionally '@' and settings joined by '+':
//   nodelay        the accepter's TCP sends at once (tcp(nodelay)); without
//                  it ser2net's TCP holds a small piece back until the one
//                  before is acknowledged
//   N              dev-to-net-bufsize: N (ser2net's default passes on what it
//                  read from the device in pieces of 64 bytes)
//   NAME=VALUE     any connection option, e.g. chardelay=false
// e.g. "rfc2217@nodelay+chardelay=false+4096".

#include "ser2netprogram.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdio>

struct Ser2netCase
{
    bool valid = false;
    bool rfc2217 = false;
    bool nodelay = false;
    QByteArray options; // the connection's "options:" lines, indented

    static Ser2netCase Parse(const QString &name)
    {
        Ser2netCase c;
        const QString kind = name.section(QLatin1Char('@'), 0, 0);
        if (kind != QLatin1String("raw") && kind != QLatin1String("rfc2217"))
            return c;
        c.rfc2217 = kind == QLatin1String("rfc2217");
        const QString given = name.section(QLatin1Char('@'), 1);
        if (name.contains(QLatin1Char('@')) && given.isEmpty())
            return c;
        for (const QString &s : given.split(QLatin1Char('+'), Qt::SkipEmptyParts)) {
            bool number = false;
            const int bufsize = s.toInt(&number);
            if (s == QLatin1String("nodelay"))
                c.nodelay = true;
            else if (number && bufsize > 0)
                c.options += "      dev-to-net-bufsize: " + QByteArray::number(bufsize) + "\n";
            else if (s.contains(QLatin1Char('=')) && !s.startsWith(QLatin1Char('=')))
                c.options += "      " + s.section(QLatin1Char('='), 0, 0).toUtf8() + ": "
                             + s.section(QLatin1Char('='), 1).toUtf8() + "\n";
            else
                return c;
        }
        c.valid = true;
        return c;
    }

    // The accepter for port on 127.0.0.1.
    QByteArray Accepter(quint16 port) const
    {
        return QByteArray(rfc2217 ? "telnet(rfc2217)," : "") + (nodelay ? "tcp(nodelay)" : "tcp") + ",127.0.0.1,"
               + QByteArray::number(port);
    }
    // The connection's options block, or nothing.
    QByteArray OptionsBlock() const { return options.isEmpty() ? QByteArray() : "    options:\n" + options; }
    QString Url(quint16 port) const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(rfc2217 ? QStringLiteral("rfc2217") : QStringLiteral("socket")).arg(port);
    }
};

// 0 when every case is "local" or a ser2net case and ser2net is there for
// them; else the exit status, with what is wrong told on stderr.
inline int CheckSer2netCases(const QStringList &cases)
{
    for (const QString &c : cases) {
        if (c == QLatin1String("local"))
            continue;
        if (!Ser2netCase::Parse(c).valid) {
            std::fprintf(stderr, "no case %s (local, raw, rfc2217, or raw@... / rfc2217@... as ser2netcase.h says)\n",
                         qPrintable(c));
            return 2;
        }
        if (Ser2netProgram().isEmpty()) {
            std::fprintf(stderr, "ser2net is not installed (tools/bootstrap.sh test installs it)\n");
            return 1;
        }
    }
    return 0;
}
