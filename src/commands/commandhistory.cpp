#include "commands/commandhistory.h"

void CommandHistory::add(const QString &command)
{
    m_position = -1;
    m_draft.clear();
    if (command.isEmpty() || (!m_entries.isEmpty() && m_entries.constLast() == command))
        return;
    m_entries.append(command);
    if (m_entries.size() > kMaxEntries)
        m_entries.removeFirst();
}

QString CommandHistory::older(const QString &current)
{
    if (m_entries.isEmpty() || m_position == 0)
        return current;
    if (m_position < 0) {
        m_draft = current;
        m_position = m_entries.size() - 1;
    } else {
        --m_position;
    }
    return m_entries.at(m_position);
}

QString CommandHistory::newer(const QString &current)
{
    if (m_position < 0)
        return current;
    if (++m_position >= m_entries.size()) {
        m_position = -1;
        return m_draft;
    }
    return m_entries.at(m_position);
}
