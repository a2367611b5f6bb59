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
// memory (failed() says so). Not thread-safe: its owner locks.
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

    void push_back(const T &record)
    {
        if (m_size % kPerPage == 0) {
            m_pages.push_back({record, std::make_unique<T[]>(size_t(kPerPage))});
            spill();
        }
        m_pages.back().items[m_size % kPerPage] = record;
        ++m_size;
    }

    T at(qsizetype i) const { return page(size_t(i / kPerPage))[i % kPerPage]; }

    // The first index whose record's key is above `value`; keys increase
    // with the index.
    template<class Key, class V>
    qsizetype upperBound(const V &value, Key key) const
    {
        auto p = std::upper_bound(m_pages.begin(), m_pages.end(), value,
                                  [&](const V &v, const Page &pg) { return v < key(pg.first); });
        if (p == m_pages.begin())
            return 0;
        const size_t pi = size_t(p - m_pages.begin()) - 1;
        const T *items = page(pi);
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
    QString error() const { return m_store ? m_store->error() : QString(); }

private:
    struct Page
    {
        T first;
        std::unique_ptr<T[]> items; // null while the page is in the file
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
        bool found = false;
        auto &slot = m_readBack.find(qsizetype(pi), &found);
        if (found)
            return slot.data.get();
        if (!slot.data)
            slot.data = std::make_unique<T[]>(size_t(kPerPage));
        slot.page = qsizetype(pi);
        if (!m_store->Get(qsizetype(pi), reinterpret_cast<char *>(slot.data.get()), kPageBytes)) {
            // Unreadable a moment after it was written: the page reads as
            // its first record repeated rather than as another page.
            std::fill(slot.data.get(), slot.data.get() + kPerPage, m_pages[pi].first);
            slot.page = -1;
        }
        return slot.data.get();
    }

    std::vector<Page> m_pages;
    qsizetype m_size = 0;
    std::unique_ptr<SpillFile> m_store;
    size_t m_spilled = 0; // pages [0, m_spilled) are in m_store
    qsizetype m_memoryLimit = qsizetype(8) * 1024 * 1024;
    bool m_failed = false;
    mutable ReadBackCache<std::unique_ptr<T[]>, 4> m_readBack;
};
