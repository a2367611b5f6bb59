#pragma once

#include <QtGlobal>
#include <array>

// The last few pages read back from a SpillFile, so that reads close together
// do not go to the file each time. find() gives the slot that holds a page
// or, when none does, the least recently used one for the caller to fill
// (its old page and dirty flag still set, for a write-back first).
template<class Buffer, int kSlots>
class ReadBackCache
{
public:
    struct Slot
    {
        qsizetype page = -1;
        Buffer data {};
        quint64 used = 0;
        bool dirty = false;
    };

    Slot &find(qsizetype page, bool *found)
    {
        Slot *oldest = &m_slots[0];
        for (Slot &s : m_slots) {
            if (s.page == page && page >= 0) {
                s.used = ++m_uses;
                *found = true;
                return s;
            }
            if (s.used < oldest->used)
                oldest = &s;
        }
        oldest->used = ++m_uses;
        *found = false;
        return *oldest;
    }

    void clear() { m_slots = {}; }

    // Slots that hold a buffer.
    int loaded() const
    {
        int n = 0;
        for (const Slot &s : m_slots)
            n += s.data ? 1 : 0;
        return n;
    }

private:
    std::array<Slot, kSlots> m_slots;
    quint64 m_uses = 0;
};
