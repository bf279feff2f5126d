#pragma once

#include "ContentCipher.h"
#include "Journal.h"
#include "StoredReader.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <sys/types.h>

// One file of the cipher folder seen as its plain bytes: blocks are decrypted on reading and
// encrypted on writing back, through a write-back cache of plain blocks. Not thread-safe: the
// daemon serialises every caller.
//
// With a journal (the image), changes are written back in transactions: commit() appends what
// changed since the last one to the journal, sync() makes the committed transactions durable,
// and checkpoint() writes the journalled blocks in place and starts the journal afresh. A block
// the owner says nothing durable refers to (newly allocated) goes in place at once, and the
// transaction records which copy it relies on. A crash at any moment leaves every transaction
// whole or absent after recovery.
class CipherFile
{
public:
    // Takes the descriptor. cacheBytes bounds the blocks kept in memory.
    CipherFile(int fd, ContentCipher &cipher, size_t cacheBytes);
    ~CipherFile();
    CipherFile(const CipherFile &) = delete;
    CipherFile &operator=(const CipherFile &) = delete;

    // 0 when the file could be opened; otherwise a negative errno (a damaged header).
    [[nodiscard]] int status() const { return m_status; }
    [[nodiscard]] off_t size() const { return m_size; }

    // Bytes read, or a negative errno: -EIO for a block that fails its authentication.
    ssize_t read(void *buffer, size_t length, off_t offset);
    ssize_t write(const void *buffer, size_t length, off_t offset);
    int truncate(off_t size);
    // Writes every changed block: without a journal in place, with one as a transaction.
    int flush();
    // flush, then everything written is durable. With a journal, blocks freed by what was
    // committed may be given back (discard) from then on, as long as none is reused before the
    // next checkpoint.
    int sync();
    // Forgets the plain bytes of a range and gives the disk space of its whole blocks back.
    int discard(off_t offset, off_t length);
    // Sets disk space aside for a range, so that writing it back cannot fail for want of room.
    int reserve(off_t offset, off_t length);

    // What became of the transactions an earlier process left in the journal.
    struct Recovery
    {
        size_t replayed = 0;  // transactions put in place
        size_t discarded = 0; // transactions cut off by the crash
        size_t blocks = 0;    // blocks written from the journal
        size_t cleared = 0;   // blocks the discarded transactions wrote in place, made holes again
    };
    // Keeps the journal at path: transactions an earlier process left are replayed first (read-only,
    // they are kept in memory instead). 0 or a negative errno.
    int keepJournal(const std::string &path, bool readOnly, Recovery &recovery);
    [[nodiscard]] bool journalled() const { return m_journal != nullptr; }
    // Puts right a run of blocks the record an earlier release kept at path names, then removes
    // the record.
    int replayLegacyRecord(const std::string &path);

    // Where a changed block goes at a commit: into the journal, in place (nothing durable refers to
    // it), or nowhere (it is free: its bytes no longer matter).
    enum class Placement { Journal, InPlace, Drop };
    // Set by an owner that commits only at consistent points; without it, any moment is one and
    // every block goes through the journal.
    void setPlacement(std::function<Placement(uint64_t block)> placement) { m_placement = std::move(placement); }
    // Appends one transaction holding everything changed since the last; 0 or a negative errno.
    int commit();
    // Writes the journalled blocks in place and starts the journal afresh; durable when it returns.
    int checkpoint();
    // The journal or the blocks it keeps in memory have grown enough for a checkpoint.
    [[nodiscard]] bool wantsCheckpoint() const;
    // Committed transactions or blocks written in place that are not durable yet.
    [[nodiscard]] bool unsynced() const;
    // Changes not yet in a transaction.
    [[nodiscard]] bool hasChanges() const { return m_dirtyBlocks > 0 || !m_inPlace.empty(); }
    // The journal holds transactions not yet put in place.
    [[nodiscard]] bool holdsJournal() const;
    // Room in the journal for the changes so far and that many more bytes; 0 or a negative errno.
    int reserveJournal(size_t bytes);
    // Bytes the host disk holding the file still has for it; -1 when that cannot be told.
    [[nodiscard]] int64_t hostFreeBytes() const;

private:
    using Nonces = std::map<uint64_t, std::array<uint8_t, ContentCipher::nonceSize>>;
    struct Block
    {
        uint8_t data[ContentCipher::plainBlock]; // not initialised: only length bytes count
        uint32_t length = 0; // the block's plain length
        bool dirty = false;  // changed since the last write back
        // Whole in the journal since it was last written in place: the image holds an older copy,
        // so it stays in memory until the next checkpoint.
        bool journalled = false;
        uint16_t changedFrom = 0, changedTo = 0; // what changed since the last write back
        std::list<uint64_t>::iterator age;
        void resize(uint32_t newLength)
        {
            if (newLength > length)
                memset(data + length, 0, newLength - length);
            length = newLength;
        }
    };

    [[nodiscard]] uint64_t blockCount() const;
    [[nodiscard]] size_t plainLengthOf(uint64_t block, off_t size) const;
    int load(uint64_t first, uint64_t count);
    Block &insert(uint64_t number, uint32_t length);
    void forget(std::unordered_map<uint64_t, Block>::iterator found);
    int decryptStored(const uint8_t *stored, ssize_t available, uint64_t number, size_t length, uint8_t *plain);
    // Reads a long range around the cache: blocks not in it are decrypted straight into the buffer.
    ssize_t stream(uint8_t *out, size_t length, off_t offset);
    Block *cached(uint64_t block);
    int makeHeader();
    void markChanged(uint64_t number, Block &block, size_t from, size_t to);
    // The blocks changed since their last write back, in order.
    std::vector<uint64_t> dirtyNumbers();
    int evict();
    int grow(off_t size);
    // Encrypts the blocks and writes them in place, neighbours with one write each. The nonce of
    // each block written goes to nonces when given.
    int writeInPlace(const std::vector<uint64_t> &numbers, Nonces *nonces);
    // Changed blocks that no durable metadata uses, written in place ahead of the journal; their
    // nonces join the next transaction.
    int writeAheadInPlace(const std::vector<uint64_t> &numbers);
    int writeDirtyInPlace();
    int replay(std::vector<Journal::Transaction> &left, bool readOnly, Recovery &recovery);
    [[nodiscard]] bool storedMatches(uint64_t block, const uint8_t *nonce);

    int m_fd = -1;
    ContentCipher &m_cipher;
    size_t m_capacity; // in blocks
    int m_status = 0;
    off_t m_size = 0;
    bool m_hasHeader = false;
    uint8_t m_fileId[ContentCipher::fileIdSize] = {};
    std::unordered_map<uint64_t, Block> m_blocks;
    std::list<uint64_t> m_ages; // least recently used first
    size_t m_dirtyBlocks = 0;
    std::vector<uint64_t> m_dirty; // every dirty block, and some that no longer are
    size_t m_journalledBlocks = 0;
    uint64_t m_nextRead = UINT64_MAX; // where a sequential reader would read next
    std::vector<uint8_t> m_buffer;    // ciphertext on its way from or to the disk
    StoredReader m_reader;            // long reads; told to forget before the file changes

    std::unique_ptr<Journal> m_journal;
    bool m_readOnlyJournal = false;
    std::function<Placement(uint64_t)> m_placement;
    // Blocks written in place since the last transaction, which it must name.
    Nonces m_inPlace;
    bool m_imageUnsynced = false;
    Journal::Transaction m_transaction;
};
