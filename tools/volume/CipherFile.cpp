#include "CipherFile.h"

#include "CipherLayout.h"
#include "HostFile.h"

#include <openssl/rand.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace CipherLayout;

namespace {

static_assert(std::endian::native == std::endian::little, "the byte searches below read words as little-endian");

uint64_t wordAt(const uint8_t *bytes)
{
    uint64_t word;
    memcpy(&word, bytes, sizeof word);
    return word;
}

// Where two runs that differ somewhere first differ, and one past where they last do: compared a
// word at a time, since metadata blocks are rewritten whole for a change of a few bytes.
size_t firstDifference(const uint8_t *a, const uint8_t *b, size_t count)
{
    size_t at = 0;
    for (; at + 8 <= count; at += 8) {
        if (const uint64_t bits = wordAt(a + at) ^ wordAt(b + at))
            return at + size_t(std::countr_zero(bits) / 8);
    }
    while (a[at] == b[at])
        ++at;
    return at;
}

size_t endOfDifference(const uint8_t *a, const uint8_t *b, size_t count)
{
    size_t end = count;
    for (; end >= 8; end -= 8) {
        if (const uint64_t bits = wordAt(a + end - 8) ^ wordAt(b + end - 8))
            return end - size_t(std::countl_zero(bits) / 8);
    }
    while (a[end - 1] == b[end - 1])
        --end;
    return end;
}

} // namespace

CipherFile::CipherFile(int fd, ContentCipher &cipher, size_t cacheBytes)
    : m_fd(fd)
    , m_cipher(cipher)
    , m_capacity(std::max<size_t>(16, cacheBytes / ContentCipher::plainBlock))
    , m_reader(fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0) {
        m_status = -errno;
        return;
    }
    if (info.st_size == 0)
        return;
    uint8_t head[ContentCipher::headerSize];
    const off_t rest = (info.st_size - header) % cipherBlock;
    if (info.st_size < header || HostFile::readAt(fd, head, sizeof head, 0) != ssize_t(sizeof head) || head[0] != 0 ||
        head[1] != 2 || (rest != 0 && rest <= off_t(ContentCipher::overhead))) {
        m_status = -EIO;
        return;
    }
    memcpy(m_fileId, head + 2, sizeof m_fileId);
    m_hasHeader = true;
    m_size = (info.st_size - header) / cipherBlock * plainBlock + (rest ? rest - off_t(ContentCipher::overhead) : 0);
}

CipherFile::~CipherFile()
{
    // Whoever set the placement is gone by now: what is left goes through the journal.
    m_placement = nullptr;
    const int error = m_journal ? (m_readOnlyJournal ? 0 : checkpoint()) : flush();
    ::close(m_fd);
    // Everything is in place: the journal holds nothing that counts any more.
    if (m_journal && !m_readOnlyJournal && error == 0)
        m_journal->remove();
}

uint64_t CipherFile::blockCount() const
{
    return uint64_t((m_size + plainBlock - 1) / plainBlock);
}

size_t CipherFile::plainLengthOf(uint64_t block, off_t size) const
{
    const off_t start = off_t(block) * plainBlock;
    return size_t(std::clamp<off_t>(size - start, 0, plainBlock));
}

CipherFile::Block *CipherFile::cached(uint64_t block)
{
    const auto found = m_blocks.find(block);
    if (found == m_blocks.end())
        return nullptr;
    m_ages.splice(m_ages.end(), m_ages, found->second.age);
    return &found->second;
}

void CipherFile::forget(std::unordered_map<uint64_t, Block>::iterator found)
{
    m_dirtyBlocks -= found->second.dirty ? 1 : 0;
    m_journalledBlocks -= found->second.journalled ? 1 : 0;
    m_ages.erase(found->second.age);
    m_blocks.erase(found);
}

// Reads the blocks of a range that are not in the cache, with one read of the disk.
int CipherFile::load(uint64_t first, uint64_t count)
{
    while (count > 0 && m_blocks.count(first)) {
        ++first;
        --count;
    }
    while (count > 0 && m_blocks.count(first + count - 1))
        --count;
    if (count == 0)
        return 0;
    const uint64_t wanted = first + count;
    // Reading on from where the last read ended: read ahead, with one request of the disk.
    if (first == m_nextRead)
        count = std::min<uint64_t>(std::max<uint64_t>(count, readAhead), blockCount() - first);
    m_nextRead = first + count;
    if (m_buffer.size() < count * ContentCipher::cipherBlock)
        m_buffer.resize(count * ContentCipher::cipherBlock);
    const ssize_t got =
        HostFile::readAt(m_fd, m_buffer.data(), count * ContentCipher::cipherBlock, cipherOffsetOf(first));
    if (got < 0)
        return int(got);
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t number = first + i;
        if (m_blocks.count(number))
            continue;
        const size_t length = plainLengthOf(number, m_size);
        uint8_t plain[ContentCipher::plainBlock];
        if (const int error = decryptStored(m_buffer.data() + i * ContentCipher::cipherBlock,
                                            got - ssize_t(i * ContentCipher::cipherBlock), number, length, plain)) {
            // A damaged block only read ahead is for a later read to report.
            if (number < wanted)
                return error;
            break;
        }
        memcpy(insert(number, uint32_t(length)).data, plain, length);
    }
    return 0;
}

// One stored block, of which `available` bytes were read, into its plain bytes.
int CipherFile::decryptStored(const uint8_t *stored, ssize_t available, uint64_t number, size_t length,
                              uint8_t *plain)
{
    const size_t present = size_t(std::clamp<ssize_t>(available, 0, ssize_t(length + ContentCipher::overhead)));
    // Nothing stored, or a whole block of zeros: a hole, which reads as zeros.
    if (present == 0 || (present == ContentCipher::cipherBlock && allZero(stored, present))) {
        memset(plain, 0, length);
        return 0;
    }
    if (length == 0)
        return 0;
    if (present != length + ContentCipher::overhead || !m_cipher.decrypt(stored, present, number, m_fileId, plain))
        return -EIO;
    return 0;
}

CipherFile::Block &CipherFile::insert(uint64_t number, uint32_t length)
{
    Block &block = m_blocks[number];
    block.length = length;
    block.dirty = false;
    block.journalled = false;
    block.age = m_ages.insert(m_ages.end(), number);
    return block;
}

ssize_t CipherFile::stream(uint8_t *out, size_t length, off_t offset)
{
    const uint64_t first = uint64_t(offset / plainBlock);
    const uint64_t end = uint64_t((offset + off_t(length) + plainBlock - 1) / plainBlock);
    const size_t count = size_t(end - first);
    const uint8_t *stored = nullptr;
    ssize_t got = m_reader.read(first, count, stored);
    if (got == -EOPNOTSUPP) {
        if (m_buffer.size() < count * ContentCipher::cipherBlock)
            m_buffer.resize(count * ContentCipher::cipherBlock);
        got = HostFile::readAt(m_fd, m_buffer.data(), count * ContentCipher::cipherBlock, cipherOffsetOf(first));
        stored = m_buffer.data();
    }
    if (got < 0)
        return got;
    for (uint64_t number = first; number < end; ++number) {
        const off_t start = off_t(number) * plainBlock;
        const off_t from = std::max(offset, start);
        const off_t to = std::min(offset + off_t(length), start + plainBlock);
        const auto found = m_blocks.find(number);
        if (found != m_blocks.end()) {
            memcpy(out + (from - offset), found->second.data + (from - start), size_t(to - from));
            continue;
        }
        const size_t blockLength = plainLengthOf(number, m_size);
        const size_t i = size_t(number - first);
        const ssize_t available = got - ssize_t(i * ContentCipher::cipherBlock);
        if (from == start && to - start == off_t(blockLength)) {
            if (const int error = decryptStored(stored + i * ContentCipher::cipherBlock, available, number,
                                                blockLength, out + (from - offset)))
                return error;
        } else {
            uint8_t plain[ContentCipher::plainBlock];
            if (const int error = decryptStored(stored + i * ContentCipher::cipherBlock, available, number,
                                                blockLength, plain))
                return error;
            memcpy(out + (from - offset), plain + (from - start), size_t(to - from));
        }
    }
    return ssize_t(length);
}

int CipherFile::makeHeader()
{
    if (m_hasHeader)
        return 0;
    m_reader.forget();
    uint8_t head[ContentCipher::headerSize] = {0, 2};
    if (RAND_bytes(head + 2, int(ContentCipher::fileIdSize)) != 1)
        return -EIO;
    if (const int error = HostFile::writeAt(m_fd, head, sizeof head, 0))
        return error;
    memcpy(m_fileId, head + 2, sizeof m_fileId);
    m_hasHeader = true;
    return 0;
}

std::vector<uint64_t> CipherFile::dirtyNumbers()
{
    std::vector<uint64_t> dirty;
    dirty.reserve(m_dirtyBlocks);
    for (const uint64_t number : m_dirty) {
        const auto found = m_blocks.find(number);
        if (found != m_blocks.end() && found->second.dirty)
            dirty.push_back(number);
    }
    std::sort(dirty.begin(), dirty.end());
    dirty.erase(std::unique(dirty.begin(), dirty.end()), dirty.end());
    m_dirty = dirty;
    return dirty;
}

void CipherFile::markChanged(uint64_t number, Block &block, size_t from, size_t to)
{
    if (!block.dirty) {
        m_dirty.push_back(number);
        ++m_dirtyBlocks;
        block.dirty = true;
        block.changedFrom = uint16_t(from);
        block.changedTo = uint16_t(to);
        return;
    }
    block.changedFrom = std::min(block.changedFrom, uint16_t(from));
    block.changedTo = std::max(block.changedTo, uint16_t(to));
}

// Makes the file longer: a last block that was short is filled up with zeros first, as a block
// in the middle of a file is always whole.
int CipherFile::grow(off_t size)
{
    if (const int error = makeHeader())
        return error;
    const uint64_t last = blockCount() - (m_size > 0 ? 1 : 0);
    if (m_size % plainBlock != 0) {
        if (const int error = load(last, 1))
            return error;
    }
    const off_t old = m_size;
    m_size = size;
    if (old % plainBlock != 0) {
        Block &block = m_blocks.at(last);
        block.resize(uint32_t(plainLengthOf(last, m_size)));
        markChanged(last, block, 0, block.length);
    }
    return 0;
}

ssize_t CipherFile::read(void *buffer, size_t length, off_t offset)
{
    if (offset >= m_size || length == 0)
        return 0;
    length = size_t(std::min<off_t>(off_t(length), m_size - offset));
    // File data read in long stretches passes by the cache; metadata, read a block at a time,
    // stays in it.
    if (length >= streamingLength)
        return stream(static_cast<uint8_t *>(buffer), length, offset);
    const uint64_t first = uint64_t(offset / plainBlock);
    const uint64_t end = uint64_t((offset + off_t(length) + plainBlock - 1) / plainBlock);
    if (const int error = load(first, end - first))
        return error;
    auto *out = static_cast<uint8_t *>(buffer);
    for (uint64_t number = first; number < end; ++number) {
        const Block *block = cached(number);
        const off_t start = off_t(number) * plainBlock;
        const off_t from = std::max(offset, start);
        const off_t to = std::min(offset + off_t(length), start + off_t(block->length));
        memcpy(out + (from - offset), block->data + (from - start), size_t(to - from));
    }
    if (const int error = evict())
        return error;
    return ssize_t(length);
}

ssize_t CipherFile::write(const void *buffer, size_t length, off_t offset)
{
    if (length == 0)
        return 0;
    if (offset + off_t(length) > m_size) {
        if (const int error = grow(offset + off_t(length)))
            return error;
    }
    const auto *in = static_cast<const uint8_t *>(buffer);
    const uint64_t first = uint64_t(offset / plainBlock);
    const uint64_t end = uint64_t((offset + off_t(length) + plainBlock - 1) / plainBlock);
    for (uint64_t number = first; number < end; ++number) {
        const off_t start = off_t(number) * plainBlock;
        const off_t from = std::max(offset, start);
        const off_t to = std::min(offset + off_t(length), start + plainBlock);
        const size_t blockLength = plainLengthOf(number, m_size);
        const uint8_t *source = in + (from - offset);
        const size_t at = size_t(from - start), count = size_t(to - from);
        Block *block = cached(number);
        if (!block && (from > start || to - start < off_t(blockLength))) {
            if (const int error = load(number, 1))
                return error;
            block = cached(number);
        }
        if (!block) {
            block = &insert(number, uint32_t(blockLength));
            memcpy(block->data, source, count);
            markChanged(number, *block, 0, blockLength);
            continue;
        }
        // Only what really changes: metadata is rewritten a whole block at a time, and the
        // journal keeps just the bytes that differ.
        if (memcmp(block->data + at, source, count) == 0)
            continue;
        const size_t head = firstDifference(block->data + at, source, count);
        const size_t tail = endOfDifference(block->data + at, source, count);
        memcpy(block->data + at + head, source + head, tail - head);
        markChanged(number, *block, at + head, at + tail);
    }
    if (const int error = evict())
        return error;
    return ssize_t(length);
}

int CipherFile::truncate(off_t size)
{
    if (size == m_size)
        return 0;
    m_reader.forget();
    // Blocks about to go may be in the journal: everything goes in place first.
    if (m_journal) {
        if (const int error = checkpoint())
            return error;
    }
    if (size > m_size) {
        if (const int error = grow(size))
            return error;
        const uint64_t last = blockCount() - 1;
        if (size % plainBlock != 0) {
            // A short last block is stored encrypted; only whole blocks may be holes.
            if (const int error = load(last, 1))
                return error;
            Block &block = m_blocks.at(last);
            block.resize(uint32_t(plainLengthOf(last, m_size)));
            markChanged(last, block, 0, block.length);
        }
    } else {
        const uint64_t keep = uint64_t((size + plainBlock - 1) / plainBlock);
        if (size % plainBlock != 0) {
            if (const int error = load(keep - 1, 1))
                return error;
        }
        for (auto it = m_blocks.begin(); it != m_blocks.end();) {
            const auto next = std::next(it);
            if (it->first >= keep)
                forget(it);
            it = next;
        }
        m_size = size;
        if (size % plainBlock != 0) {
            Block &block = m_blocks.at(keep - 1);
            block.resize(uint32_t(plainLengthOf(keep - 1, m_size)));
            markChanged(keep - 1, block, 0, block.length);
        }
        if (size == 0)
            m_hasHeader = false;
    }
    // The stored length follows at once; the blocks themselves when they are written back.
    const off_t stored = size == 0 ? 0 : std::max<off_t>(cipherSizeOf(size), header);
    if (ftruncate(m_fd, stored) != 0)
        return -errno;
    return 0;
}

int CipherFile::discard(off_t offset, off_t length)
{
    m_reader.forget();
    const uint64_t first = uint64_t((offset + plainBlock - 1) / plainBlock);
    // Only whole blocks, and never a short last one.
    const uint64_t end = uint64_t(std::min(offset + length, m_size) / plainBlock);
    if (end <= first)
        return 0;
    for (uint64_t number = first; number < end; ++number) {
        const auto found = m_blocks.find(number);
        if (found != m_blocks.end())
            forget(found);
        m_inPlace.erase(number);
    }
    // The blocks were free anyway: a disk that cannot make holes only keeps the space taken.
    const int error = punch(m_fd, cipherOffsetOf(first), off_t(end - first) * cipherBlock);
    return error == -EOPNOTSUPP ? 0 : error;
}

int CipherFile::reserve(off_t offset, off_t length)
{
    const uint64_t first = uint64_t(offset / plainBlock);
    const uint64_t end = std::min(uint64_t((offset + length + plainBlock - 1) / plainBlock), blockCount());
    if (end <= first)
        return 0;
    const off_t from = cipherOffsetOf(first);
    const off_t to = std::min(cipherOffsetOf(end), cipherSizeOf(m_size));
    if (fallocate(m_fd, FALLOC_FL_KEEP_SIZE, from, to - from) == 0)
        return 0;
    // A disk that cannot set space aside: a failed write back will tell.
    return errno == EOPNOTSUPP ? 0 : -errno;
}

int CipherFile::evict()
{
    if (m_blocks.size() <= m_capacity)
        return 0;
    if (!m_journal) {
        if (const int error = writeDirtyInPlace())
            return error;
    } else if (!m_placement) {
        if (const int error = checkpoint())
            return error;
    } else {
        // In the middle of the owner's change only new blocks may leave: the journal takes the
        // others at the next commit.
        std::vector<uint64_t> inPlace;
        for (const uint64_t number : dirtyNumbers()) {
            if (!m_blocks.at(number).journalled && m_placement(number) == Placement::InPlace)
                inPlace.push_back(number);
        }
        if (const int error = writeAheadInPlace(inPlace))
            return error;
    }
    for (auto it = m_ages.begin(); it != m_ages.end() && m_blocks.size() > m_capacity * 3 / 4;) {
        const auto found = m_blocks.find(*it);
        ++it;
        if (!found->second.dirty && !found->second.journalled)
            forget(found);
    }
    return 0;
}
