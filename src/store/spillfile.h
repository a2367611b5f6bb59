#pragma once

#include <QString>
#include <QtGlobal>

// Pages of fixed size kept in a temporary file that has no name: made with
// O_TMPFILE (or, where the file system cannot, unlinked as soon as it is
// made; on Windows deleted on its last close), so the file and its disk
// space go with the process however it ends, killed included. The file is
// made on the first Put, in the temporary folder ($TMPDIR, else /tmp; the
// user's temporary folder on Windows). Page p lives at offset
// p * pageSize. Not thread-safe: its owner locks.
class SpillFile
{
public:
    explicit SpillFile(qsizetype pageSize);
    ~SpillFile();
    SpillFile(const SpillFile &) = delete;
    SpillFile &operator=(const SpillFile &) = delete;

    qsizetype pageSize() const { return m_pageSize; }

    // Writes n bytes (at most a page) as page p. False when the file cannot
    // be made or written (error() says why); what was written before stays
    // readable.
    bool Put(qsizetype page, const char *data, qsizetype n);
    // Reads n bytes of page p, which must have been put. False when they
    // cannot all be read (an I/O error, a file cut short); error() says why
    // and what `data` holds then is not the page.
    bool Get(qsizetype page, char *data, qsizetype n) const;
    // Closes the file: its disk space is freed; the next Put makes a new one.
    void Clear();

    bool isOpen() const { return m_fd >= 0; }
    QString error() const { return m_error; }
    // Bytes the file holds.
    qsizetype sizeOnDisk() const { return m_end; }
    // Calls of Get so far: how often a page came from the file rather than
    // from a page kept in memory.
    quint64 reads() const { return m_reads; }
    // The folder the file is made in.
    static QString Folder();

private:
    bool Open();

    qsizetype m_pageSize;
    int m_fd = -1;
    qsizetype m_end = 0;
    mutable QString m_error;
    mutable quint64 m_reads = 0;
};
