// Writing back: changed blocks in place or, with a journal, as transactions that a checkpoint puts
// in place; making them durable.

#include "CipherFile.h"

#include "CipherLayout.h"
#include "HostFile.h"

#include <algorithm>
#include <cerrno>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace CipherLayout;

int CipherFile::writeInPlace(const std::vector<uint64_t> &numbers, Nonces *nonces)
{
    if (numbers.empty())
        return 0;
    m_reader.forget();
    if (const int error = makeHeader())
        return error;
    if (m_buffer.size() < runLimit * ContentCipher::cipherBlock)
        m_buffer.resize(runLimit * ContentCipher::cipherBlock);
    for (size_t i = 0; i < numbers.size();) {
        size_t j = i;
        size_t used = 0;
        // One write for each run of neighbouring blocks.
        while (j < numbers.size() && (j == i || numbers[j] == numbers[j - 1] + 1) && j - i < runLimit) {
            const Block &block = m_blocks.at(numbers[j]);
            uint8_t *stored = m_buffer.data() + used;
            if (!m_cipher.encrypt(block.data, block.length, numbers[j], m_fileId, stored))
                return -EIO;
            if (nonces)
                memcpy((*nonces)[numbers[j]].data(), stored, ContentCipher::nonceSize);
            used += block.length + ContentCipher::overhead;
            ++j;
        }
        m_imageUnsynced = true;
        if (const int error = HostFile::writeAt(m_fd, m_buffer.data(), used, cipherOffsetOf(numbers[i])))
            return error;
        i = j;
    }
    return 0;
}

int CipherFile::writeAheadInPlace(const std::vector<uint64_t> &numbers)
{
    if (const int error = writeInPlace(numbers, &m_inPlace))
        return error;
    for (const uint64_t number : numbers) {
        m_blocks.at(number).dirty = false;
        --m_dirtyBlocks;
    }
    return 0;
}

int CipherFile::writeDirtyInPlace()
{
    const std::vector<uint64_t> dirty = dirtyNumbers();
    if (const int error = writeInPlace(dirty, nullptr))
        return error;
    for (const uint64_t number : dirty)
        m_blocks.at(number).dirty = false;
    m_dirtyBlocks = 0;
    return 0;
}

int CipherFile::flush()
{
    if (!m_journal)
        return writeDirtyInPlace();
    // The decrypted view: a writer that closes the image is done, and any moment is consistent.
    return m_placement ? commit() : checkpoint();
}

int CipherFile::sync()
{
    if (!m_journal || !m_placement) {
        if (const int error = m_journal ? checkpoint() : writeDirtyInPlace())
            return error;
        if (m_imageUnsynced && fdatasync(m_fd) != 0)
            return -errno;
        m_imageUnsynced = false;
        return 0;
    }
    if (const int error = commit())
        return error;
    // What the transactions rely on first, then the transactions, closed by a mark that says so:
    // recovery need not look at the blocks written in place before it, which may be freed and
    // given back from now on.
    if (m_imageUnsynced && fdatasync(m_fd) != 0)
        return -errno;
    m_imageUnsynced = false;
    if (m_journal->unsynced()) {
        m_transaction.clear();
        m_transaction.addDurableBefore();
        if (const int error = m_journal->append(m_transaction))
            return error;
    }
    return m_journal->sync();
}

bool CipherFile::unsynced() const
{
    return m_imageUnsynced || (m_journal && m_journal->unsynced());
}

bool CipherFile::holdsJournal() const
{
    return m_journal && !m_readOnlyJournal && (m_journalledBlocks > 0 || m_journal->roundBytes() > 0);
}

int CipherFile::reserveJournal(size_t bytes)
{
    if (!m_journal || m_readOnlyJournal)
        return 0;
    return m_journal->reserve(bytes + (m_dirtyBlocks + m_inPlace.size()) * (ContentCipher::plainBlock + 32));
}

int64_t CipherFile::hostFreeBytes() const
{
    struct statvfs host;
    if (fstatvfs(m_fd, &host) != 0)
        return -1;
    return int64_t(host.f_bavail) * int64_t(host.f_frsize);
}

bool CipherFile::wantsCheckpoint() const
{
    return m_journal && !m_readOnlyJournal &&
           (m_journal->roundBytes() >= roundLimit || m_journalledBlocks >= m_capacity / 2);
}

int CipherFile::commit()
{
    if (!m_journal)
        return writeDirtyInPlace();
    if (m_readOnlyJournal || (m_dirtyBlocks == 0 && m_inPlace.empty()))
        return 0;
    std::vector<uint64_t> inPlace, journalled;
    for (const uint64_t number : dirtyNumbers()) {
        const auto found = m_blocks.find(number);
        // A block the journal holds is never written in place before the checkpoint.
        const Placement placement = m_placement ? m_placement(number) : Placement::Journal;
        if (placement == Placement::Drop) {
            m_inPlace.erase(number);
            forget(found);
        } else if (placement == Placement::InPlace && !found->second.journalled) {
            inPlace.push_back(number);
        } else {
            journalled.push_back(number);
        }
    }
    if (const int error = writeAheadInPlace(inPlace))
        return error;
    // Blocks written in place earlier and freed since: nothing relies on them any more.
    for (auto it = m_inPlace.begin(); it != m_inPlace.end();) {
        if (m_placement && m_placement(it->first) == Placement::Drop)
            it = m_inPlace.erase(it);
        else
            ++it;
    }
    m_transaction.clear();
    for (const uint64_t number : journalled) {
        const Block &block = m_blocks.at(number);
        if (block.journalled)
            m_transaction.addPiece(number, block.changedFrom, block.data + block.changedFrom,
                                   size_t(block.changedTo - block.changedFrom));
        else
            m_transaction.addBlock(number, block.data, block.length);
    }
    for (const auto &[number, nonce] : m_inPlace)
        m_transaction.addInPlace(number, nonce.data());
    if (journalled.empty() && m_inPlace.empty())
        return 0;
    if (const int error = m_journal->append(m_transaction))
        return error;
    for (const uint64_t number : journalled) {
        Block &block = m_blocks.at(number);
        block.dirty = false;
        --m_dirtyBlocks;
        if (!block.journalled) {
            block.journalled = true;
            ++m_journalledBlocks;
        }
    }
    m_inPlace.clear();
    return 0;
}

int CipherFile::checkpoint()
{
    if (!m_journal)
        return sync();
    if (m_readOnlyJournal)
        return 0;
    if (const int error = commit())
        return error;
    if (m_journalledBlocks == 0 && m_journal->roundBytes() == 0) {
        if (m_imageUnsynced && fdatasync(m_fd) != 0)
            return -errno;
        m_imageUnsynced = false;
        return 0;
    }
    // The round is durable before any of it is written in place.
    if (m_imageUnsynced && fdatasync(m_fd) != 0)
        return -errno;
    m_imageUnsynced = false;
    if (const int error = m_journal->sync())
        return error;
    std::vector<uint64_t> journalled;
    for (auto it = m_blocks.begin(); it != m_blocks.end();) {
        const auto next = std::next(it);
        if (it->second.journalled) {
            if (m_placement && m_placement(it->first) == Placement::Drop)
                forget(it);
            else
                journalled.push_back(it->first);
        }
        it = next;
    }
    std::sort(journalled.begin(), journalled.end());
    if (const int error = writeInPlace(journalled, nullptr))
        return error;
    if (fdatasync(m_fd) != 0)
        return -errno;
    m_imageUnsynced = false;
    if (const int error = m_journal->retire())
        return error;
    for (const uint64_t number : journalled)
        m_blocks.at(number).journalled = false;
    m_journalledBlocks = 0;
    return 0;
}
