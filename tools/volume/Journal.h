#pragma once

#include "ContentCipher.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The write-ahead journal of an image: a file beside it that receives each change before the
// image does. A transaction is appended as one record of encrypted 4096-byte chunks, each bound
// to its place in the journal and to the journal's id, so a record torn by a crash or left from
// an earlier round never reads as whole. Changes reach their place in the image only once the
// journal holding them is on the disk (a checkpoint), after which the journal starts a new round
// with a new id. Recovery replays the whole records of the current round in order.
//
//   offset 0     header: magic, the round's id (plain)
//   offset 4096  records, each of 4128-byte stored chunks
class Journal
{
public:
    // What a transaction changes, as a list of entries: whole blocks (their plain bytes), pieces of
    // blocks that are whole earlier in the same round, and blocks written in place whose content
    // the transaction relies on (their nonce, so recovery can tell they reached the disk).
    class Transaction
    {
    public:
        enum class Kind : uint8_t { Block = 1, Piece = 2, InPlace = 3, DurableBefore = 4 };
        struct Entry
        {
            Kind kind;
            uint64_t block = 0;
            uint16_t offset = 0;
            uint16_t length = 0;
            const uint8_t *bytes = nullptr; // plain bytes, or the nonce of a block written in place
        };

        void addBlock(uint64_t block, const uint8_t *plain, size_t length);
        void addPiece(uint64_t block, size_t offset, const uint8_t *bytes, size_t length);
        void addInPlace(uint64_t block, const uint8_t *nonce);
        // Everything before this mark, blocks written in place included, was on the disk when it was
        // written.
        void addDurableBefore();
        [[nodiscard]] bool empty() const { return m_bytes.empty(); }
        [[nodiscard]] const std::vector<uint8_t> &bytes() const { return m_bytes; }
        void clear() { m_bytes.clear(); }
        // The entries in order; false for a malformed list.
        [[nodiscard]] bool entries(std::vector<Entry> &out) const;

        Transaction() = default;
        explicit Transaction(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}

    private:
        void putHead(Kind kind, uint64_t block);
        std::vector<uint8_t> m_bytes;
    };

    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // Opens the journal at path. The whole records an earlier process left in its current round go
    // to left, in order. Read-write, a missing journal is created and its folder entry made
    // durable; read-only, a missing journal is no journal (journal stays empty, answer 0).
    static int open(const std::string &path, ContentCipher &cipher, bool readOnly, std::unique_ptr<Journal> &journal,
                    std::vector<Transaction> &left);

    // Appends a record; it is on the disk after the next sync. 0 or a negative errno.
    int append(const Transaction &transaction);
    int sync();
    // Starts a new round: what the journal holds no longer counts. Durable when it returns.
    int retire();
    // Makes sure the next records of that many payload bytes have room on the disk.
    int reserve(size_t payloadBytes);
    // Removes the journal: only after a checkpoint, when it holds nothing that counts.
    int remove();
    // Bytes of records in the current round.
    [[nodiscard]] uint64_t roundBytes() const { return m_tail * ContentCipher::cipherBlock; }
    [[nodiscard]] bool unsynced() const { return m_unsynced; }

private:
    Journal(int fd, std::string path, ContentCipher &cipher);
    int writeHeader();
    bool readChunk(uint64_t index, uint8_t *plain);
    [[nodiscard]] static uint64_t chunksFor(size_t payloadBytes);

    int m_fd = -1;
    std::string m_path;
    ContentCipher &m_cipher;
    uint8_t m_id[ContentCipher::fileIdSize] = {};
    uint64_t m_tail = 0;     // chunks in the current round
    uint64_t m_sequence = 0; // of the last record appended
    uint64_t m_attempts = 0; // ids of records, each attempt its own
    off_t m_allocated = 0;   // bytes of the file that have room on the disk
    bool m_unsynced = false;
    std::vector<uint8_t> m_buffer;
    std::vector<uint8_t> m_tailPage; // the last record's bytes in the page where the next one starts
};
