#pragma once

#include <QString>
#include <QStringList>

// The commands sent from the command box in this session, recalled with Up
// and Down as a shell recalls its lines: Up goes to older commands, Down back
// to newer ones and, past the newest, to the text that was being typed. A
// command sent again (recalled, edited or not) becomes the newest; the same
// command twice in a row is kept once.
class CommandHistory
{
public:
    static constexpr qsizetype kMaxEntries = 1000;

    void add(const QString &command);
    // The command before the one shown (current: the box's text, kept as the
    // draft when leaving it); current itself when there is none older.
    QString older(const QString &current);
    // The command after the one shown, or the draft past the newest.
    QString newer(const QString &current);
    bool isBrowsing() const { return m_position >= 0; }
    const QStringList &entries() const { return m_entries; } // oldest first

private:
    QStringList m_entries;
    qsizetype m_position = -1; // index shown; -1 while on the draft
    QString m_draft;
};
