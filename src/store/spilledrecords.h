#pragma once

#include "store/readbackcache.h"
#include "store/spillfile.h"

#include <QString>
#include <algorithm>
#include <array>
#include <memory>
#include <type_traits>
#include <vector>

// Records of one trivially copyable type, appended in order and kept in pages
// of kPerPage. Past a limit the oldest full pages move to a SpillFile and come
// back when read (the last few read are kept); memory then holds the first
// record of every page, the last page and those few. Only the last record
// can change (setBack()). Where the file cannot be written, the pages stay in
// memory (failed() says so). A page that cannot be read back (an I/O error,
// a file cut short) gives no records from then on: at() and upperBound() say
// so, and readFailed() tells. Not thread-safe: its owner locks.
template<class T, qsizetype kPerPage = 4096>
class SpilledRecords
{
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr qsizetype kPageBytes = kPerPage * qsizetype(sizeof(T));

public:
    qsizetype size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    const T &back() const { return m_pages.back().items[(m_size - 1) % kPerPage]; }
    void setBack(const T &record)
    {
        const qsizetype i = (m_size - 1) % kPerPage;
        m_pages.back().items[i] = record;
        if (i == 0)
            m_pages.back().first = record;
    }

    // Replaces record i while its page is in memory; false once the page
    // has gone to the file (records there do not change).
    bool setAt(qsizetype i, const T &record)
    {
        Page &p = m_pages[size_t(i / kPerPage)];
        if (!p.items)
            return false;
        p.items[i % kPerPage] = record;
        if (i % kPerPage == 0)
            p.first = record;
        return true;
    }

    void push_back(const T &record)
    {
        if (m_size % kPerPage == 0) {
            m_pages.push_back({record, std::make_unique<T[]>(size_t(kPerPage))});
            spill();
        }
        m_pages.back().items[m_size % kPerPage] = record;
        ++m_size;
    }

    static constexpr qsizetype perPage = kPerPage;

    // Record i into *out; false when its page cannot be read back.
    bool at(qsizetype i, T *out) const
    {
        const T *items = page(size_t(i / kPerPage));
        if (!items)
            return false;
        *out = items[i % kPerPage];
        return true;
    }

    // The first index whose record's key is above `value`; keys increase
    // with the index. Where the page that answers cannot be read back,
    // *known is false and the answer is that page's first index.
    template<class Key, class V>
    qsizetype upperBound(const V &value, Key key, bool *known = nullptr) const
    {
        if (known)
            *known = true;
        auto p = std::upper_bound(m_pages.begin(), m_pages.end(), value,
                                  [&](const V &v, const Page &pg) { return v < key(pg.first); });
        if (p == m_pages.begin())
            return 0;
        const size_t pi = size_t(p - m_pages.begin()) - 1;
        const T *items = page(pi);
        if (!items) {
            if (known)
                *known = false;
            return qsizetype(pi) * kPerPage;
        }
        const qsizetype count = std::min(kPerPage, m_size - qsizetype(pi) * kPerPage);
        const T *it = std::upper_bound(items, items + count, value, [&](const V &v, const T &r) { return v < key(r); });
        return qsizetype(pi) * kPerPage + qsizetype(it - items);
    }

    void clear()
    {
        m_pages.clear();
        m_pages.shrink_to_fit();
        m_size = 0;
        m_store.reset();
        m_spilled = 0;
        m_failed = false;
        m_readFailed = false;
        m_readBack.clear();
    }

    void setMemoryLimit(qsizetype bytes)
    {
        m_memoryLimit = std::max<qsizetype>(bytes, 0);
        spill();
    }
    qsizetype memoryUsage() const
    {
        return qsizetype(m_pages.capacity() * sizeof(Page))
               + qsizetype(m_pages.size() - m_spilled + size_t(m_readBack.loaded())) * kPageBytes;
    }
    qsizetype storedPages() const { return qsizetype(m_spilled); }
    bool failed() const { return m_failed; }
    // Some page could not be read back since the start or the last clear().
    bool readFailed() const { return m_readFailed; }
    QString error() const { return m_store ? m_store->error() : QString(); }
    // Reads of the file so far.
    quint64 storeReads() const { return m_store ? m_store->reads() : 0; }

private:
    struct Page
    {
        T first;
        std::unique_ptr<T[]> items; // null while the page is in the file
        mutable bool unreadable = false; // in the file, and it could not be read back
    };

    void spill()
    {
        while (!m_failed && m_spilled + 1 < m_pages.size()
               && qsizetype(m_pages.size() - m_spilled) * kPageBytes > m_memoryLimit) {
            if (!m_store)
                m_store = std::make_unique<SpillFile>(kPageBytes);
            Page &p = m_pages[m_spilled];
            if (!m_store->Put(qsizetype(m_spilled), reinterpret_cast<const char *>(p.items.get()), kPageBytes)) {
                m_failed = true;
                return;
            }
            p.items.reset();
            ++m_spilled;
        }
    }

    const T *page(size_t pi) const
    {
        if (m_pages[pi].items)
            return m_pages[pi].items.get();
        if (m_pages[pi].unreadable)
            return nullptr;
        bool found = false;
        auto &slot = m_readBack.find(qsizetype(pi), &found);
        if (found)
            return slot.data.get();
        if (!slot.data)
            slot.data = std::make_unique<T[]>(size_t(kPerPage));
        slot.page = qsizetype(pi);
        if (!m_store->Get(qsizetype(pi), reinterpret_cast<char *>(slot.data.get()), kPageBytes)) {
            // Lost on the disk: no records rather than some made up; the
            // file is not asked for this page again.
            slot.page = -1;
            m_pages[pi].unreadable = true;
            m_readFailed = true;
            return nullptr;
        }
        return slot.data.get();
    }

    std::vector<Page> m_pages;
    qsizetype m_size = 0;
    std::unique_ptr<SpillFile> m_store;
    size_t m_spilled = 0; // pages [0, m_spilled) are in m_store
    qsizetype m_memoryLimit = qsizetype(8) * 1024 * 1024;
    bool m_failed = false;
    mutable bool m_readFailed = false;
    mutable ReadBackCache<std::unique_ptr<T[]>, 4> m_readBack;
};
