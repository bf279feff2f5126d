// Recovery: the transactions an earlier process left in the journal, replayed or cut off, and the
// record an earlier release kept.

#include "CipherFile.h"

#include "CipherLayout.h"
#include "HostFile.h"

#include <algorithm>
#include <unistd.h>

using namespace CipherLayout;

bool CipherFile::storedMatches(uint64_t block, const uint8_t *nonce)
{
    const size_t length = plainLengthOf(block, m_size);
    uint8_t stored[ContentCipher::cipherBlock];
    uint8_t plain[ContentCipher::plainBlock];
    const ssize_t got = HostFile::readAt(m_fd, stored, length + ContentCipher::overhead, cipherOffsetOf(block));
    return length > 0 && got == ssize_t(length + ContentCipher::overhead) &&
           memcmp(stored, nonce, ContentCipher::nonceSize) == 0 &&
           m_cipher.decrypt(stored, size_t(got), block, m_fileId, plain);
}

int CipherFile::keepJournal(const std::string &path, bool readOnly, Recovery &recovery)
{
    std::vector<Journal::Transaction> left;
    if (const int error = Journal::open(path, m_cipher, readOnly, m_journal, left))
        return error;
    if (!m_journal)
        return 0;
    m_readOnlyJournal = readOnly;
    if (const int error = replay(left, readOnly, recovery))
        return error;
    return readOnly ? 0 : m_journal->retire();
}

// Puts the transactions left in the journal in place, in order, up to the first one that relies
// on a block written in place that did not reach the disk whole: that one and all later ones
// were cut off by the crash, and the blocks they wrote in place become holes again.
int CipherFile::replay(std::vector<Journal::Transaction> &left, bool readOnly, Recovery &recovery)
{
    m_reader.forget();
    std::vector<std::vector<Journal::Transaction::Entry>> transactions(left.size());
    size_t whole = 0;
    while (whole < left.size() && left[whole].entries(transactions[whole]))
        ++whole;
    transactions.resize(whole);
    using Kind = Journal::Transaction::Kind;
    // Before a mark everything was durable; only what follows the last one needs a look.
    size_t checkFrom = 0;
    for (size_t i = 0; i < transactions.size(); ++i) {
        for (const auto &entry : transactions[i]) {
            if (entry.kind == Kind::DurableBefore)
                checkFrom = i;
        }
    }
    size_t accepted = transactions.size();
    for (size_t i = checkFrom; i < accepted; ++i) {
        for (const auto &entry : transactions[i]) {
            if (entry.kind == Kind::InPlace && entry.block < blockCount() && !storedMatches(entry.block, entry.bytes)) {
                accepted = i;
                break;
            }
        }
    }
    std::vector<uint64_t> replayed;
    for (size_t i = 0; i < accepted; ++i) {
        for (const auto &entry : transactions[i]) {
            if ((entry.kind != Kind::Block && entry.kind != Kind::Piece) || entry.block >= blockCount())
                continue;
            Block *block = cached(entry.block);
            if (entry.kind == Kind::Block) {
                if (!block) {
                    block = &insert(entry.block, uint32_t(plainLengthOf(entry.block, m_size)));
                    replayed.push_back(entry.block);
                }
                memset(block->data, 0, block->length);
                memcpy(block->data, entry.bytes, std::min<size_t>(entry.length, block->length));
            } else if (block && size_t(entry.offset) + entry.length <= block->length) {
                memcpy(block->data + entry.offset, entry.bytes, entry.length);
            }
        }
    }
    std::sort(replayed.begin(), replayed.end());
    recovery.replayed = accepted;
    recovery.discarded = left.size() - accepted;
    recovery.blocks = replayed.size();
    if (readOnly) {
        // Served from memory: the image stays as it is.
        for (const uint64_t number : replayed)
            m_blocks.at(number).journalled = true;
        m_journalledBlocks = replayed.size();
        return 0;
    }
    if (const int error = writeInPlace(replayed, nullptr))
        return error;
    for (size_t i = accepted; i < transactions.size(); ++i) {
        for (const auto &entry : transactions[i]) {
            if (entry.kind == Kind::InPlace && entry.block < blockCount() &&
                punch(m_fd, cipherOffsetOf(entry.block), off_t(plainLengthOf(entry.block, m_size)) +
                                                             off_t(ContentCipher::overhead)) == 0)
                ++recovery.cleared;
        }
    }
    if (fdatasync(m_fd) != 0)
        return -errno;
    m_imageUnsynced = false;
    return 0;
}

namespace {

// The record an earlier release kept of the one run of blocks it was writing: the run, and a
// copy of it when it replaced blocks that held data.
struct LegacyHead
{
    char magic[8];
    uint64_t first;
    uint64_t count;
    uint64_t copyLength; // 0: every block of the run was a hole
};
constexpr char legacyMagic[8] = {'h', 'k', 'r', 'u', 'n', 0, 0, 1};

} // namespace

int CipherFile::replayLegacyRecord(const std::string &path)
{
    m_reader.forget();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return errno == ENOENT ? 0 : -errno;
    LegacyHead head;
    std::vector<uint8_t> copies;
    bool usable = HostFile::readAt(fd, reinterpret_cast<uint8_t *>(&head), sizeof head, 0) == ssize_t(sizeof head) &&
                  memcmp(head.magic, legacyMagic, sizeof legacyMagic) == 0 && head.count > 0 &&
                  head.count <= blockCount() && head.copyLength <= head.count * ContentCipher::cipherBlock;
    if (usable) {
        copies.resize(head.copyLength);
        const ssize_t got = HostFile::readAt(fd, copies.data(), copies.size(), sizeof head);
        copies.resize(size_t(std::max<ssize_t>(got, 0)));
    }
    ::close(fd);
    // Each block of the run that fails its authentication goes back: to its copy when that one
    // authenticates, otherwise to the hole it was before the run.
    uint8_t stored[ContentCipher::cipherBlock];
    uint8_t plain[ContentCipher::plainBlock];
    for (uint64_t i = 0; usable && i < head.count; ++i) {
        const uint64_t number = head.first + i;
        const size_t length = plainLengthOf(number, m_size);
        if (length == 0)
            break;
        const ssize_t got = HostFile::readAt(m_fd, stored, length + ContentCipher::overhead, cipherOffsetOf(number));
        if (got < 0)
            return int(got);
        if (decryptStored(stored, got, number, length, plain) == 0)
            continue;
        const size_t at = size_t(i) * ContentCipher::cipherBlock;
        const size_t available = copies.size() > at ? copies.size() - at : 0;
        int error = 0;
        if (available > 0 && decryptStored(copies.data() + at, ssize_t(available), number, length, plain) == 0)
            error = HostFile::writeAt(m_fd, copies.data() + at, std::min(available, length + ContentCipher::overhead),
                                      cipherOffsetOf(number));
        else
            error = punch(m_fd, cipherOffsetOf(number), off_t(length + ContentCipher::overhead));
        if (error)
            return error;
    }
    if (usable && fdatasync(m_fd) != 0)
        return -errno;
    return ::unlink(path.c_str()) == 0 ? 0 : -errno;
}
