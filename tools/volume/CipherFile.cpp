#include "CipherFile.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr off_t plainBlock = off_t(ContentCipher::plainBlock);
constexpr off_t cipherBlock = off_t(ContentCipher::cipherBlock);
constexpr off_t header = off_t(ContentCipher::headerSize);
constexpr uint64_t readAhead = 64; // blocks: 256 KiB
constexpr size_t streamingLength = 64 * 1024;

off_t cipherSizeOf(off_t plainSize)
{
    if (plainSize == 0)
        return 0;
    const off_t rest = plainSize % plainBlock;
    return header + plainSize / plainBlock * cipherBlock + (rest ? rest + off_t(ContentCipher::overhead) : 0);
}

off_t cipherOffsetOf(uint64_t block)
{
    return header + off_t(block) * cipherBlock;
}

bool allZero(const uint8_t *data, size_t length)
{
    return length == 0 || (data[0] == 0 && memcmp(data, data + 1, length - 1) == 0);
}

ssize_t preadFully(int fd, uint8_t *buffer, size_t length, off_t offset)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t got = pread(fd, buffer + done, length - done, offset + off_t(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -errno;
        if (got == 0)
            break;
        done += size_t(got);
    }
    return ssize_t(done);
}

int pwriteFully(int fd, const uint8_t *buffer, size_t length, off_t offset)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t put = pwrite(fd, buffer + done, length - done, offset + off_t(done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return -errno;
        done += size_t(put);
    }
    return 0;
}

// The log holds one record: the run of blocks being written, with a copy of the run when it
// replaces blocks that held data. The copy is written before the record's head, and both before
// the run itself.
struct LogHead
{
    char magic[8];
    uint64_t first;
    uint64_t count;
    uint64_t copyLength; // 0: every block of the run was a hole
};
constexpr char logMagic[8] = {'h', 'k', 'r', 'u', 'n', 0, 0, 1};

} // namespace

CipherFile::CipherFile(int fd, ContentCipher &cipher, size_t cacheBytes)
    : m_fd(fd)
    , m_cipher(cipher)
    , m_capacity(std::max<size_t>(16, cacheBytes / ContentCipher::plainBlock))
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
    if (info.st_size < header || preadFully(fd, head, sizeof head, 0) != ssize_t(sizeof head) || head[0] != 0 ||
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
    const int error = flush();
    ::close(m_fd);
    if (m_logFd >= 0) {
        ::close(m_logFd);
        // Every run ended whole: nothing is left to put right.
        if (error == 0)
            unlink(m_logPath.c_str());
    }
}

int CipherFile::keepWriteLog(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -errno;
    LogHead head;
    if (preadFully(fd, reinterpret_cast<uint8_t *>(&head), sizeof head, 0) == ssize_t(sizeof head) &&
        memcmp(head.magic, logMagic, sizeof logMagic) == 0 && head.count > 0 &&
        head.count <= uint64_t(m_size / plainBlock) + 1 && head.copyLength <= head.count * ContentCipher::cipherBlock) {
        std::vector<uint8_t> copies(head.copyLength);
        const ssize_t got = preadFully(fd, copies.data(), copies.size(), sizeof head);
        const int error = repairRun(copies.data(), size_t(std::max<ssize_t>(got, 0)), head.first, head.count);
        if (error == 0)
            fdatasync(m_fd);
        if (error != 0 || ftruncate(fd, 0) != 0) {
            const int failure = error ? error : -errno;
            ::close(fd);
            return failure;
        }
    }
    m_logFd = fd;
    m_logPath = path;
    return 0;
}

// Writes a run of stored blocks in place, recorded in the log first when there is one.
int CipherFile::writeRun(const uint8_t *stored, size_t length, uint64_t first, uint64_t count)
{
    const off_t offset = cipherOffsetOf(first);
    if (m_logFd >= 0) {
        // Blocks that were holes go back to being holes; blocks with data need their new bytes.
        const off_t data = lseek(m_fd, offset, SEEK_DATA);
        const bool replacesData = data >= 0 && data < offset + off_t(length);
        LogHead head = {};
        memcpy(head.magic, logMagic, sizeof logMagic);
        head.first = first;
        head.count = count;
        head.copyLength = replacesData ? length : 0;
        if (replacesData) {
            if (const int error = pwriteFully(m_logFd, stored, length, sizeof head))
                return error;
        }
        if (const int error = pwriteFully(m_logFd, reinterpret_cast<const uint8_t *>(&head), sizeof head, 0))
            return error;
    }
    const int error = pwriteFully(m_fd, stored, length, offset);
    // Part of the run may have reached the disk (a full host disk): every block old or new again.
    if (error != 0 && m_logFd >= 0)
        repairRun(stored, length, first, count);
    return error;
}

// Puts each block of a run that fails its authentication back: from its copy when that one
// authenticates, otherwise as the hole it was before the run.
int CipherFile::repairRun(const uint8_t *copies, size_t copyLength, uint64_t first, uint64_t count)
{
    uint8_t stored[ContentCipher::cipherBlock];
    uint8_t plain[ContentCipher::plainBlock];
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t number = first + i;
        const size_t length = plainLengthOf(number, m_size);
        if (length == 0)
            break;
        const off_t offset = cipherOffsetOf(number);
        const ssize_t got = preadFully(m_fd, stored, length + ContentCipher::overhead, offset);
        if (got < 0)
            return int(got);
        if (decryptStored(stored, got, number, length, plain) == 0)
            continue;
        const size_t at = size_t(i) * ContentCipher::cipherBlock;
        const size_t available = copyLength > at ? copyLength - at : 0;
        if (available > 0 && decryptStored(copies + at, ssize_t(available), number, length, plain) == 0) {
            if (const int error =
                    pwriteFully(m_fd, copies + at, std::min(available, length + ContentCipher::overhead), offset))
                return error;
            continue;
        }
        if (fallocate(m_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset,
                      off_t(length + ContentCipher::overhead)) != 0) {
            const uint8_t zeros[ContentCipher::cipherBlock] = {};
            if (const int error = pwriteFully(m_fd, zeros, length + ContentCipher::overhead, offset))
                return error;
        }
    }
    return 0;
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
    const ssize_t got = preadFully(m_fd, m_buffer.data(), count * ContentCipher::cipherBlock, cipherOffsetOf(first));
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
    block.age = m_ages.insert(m_ages.end(), number);
    return block;
}

ssize_t CipherFile::stream(uint8_t *out, size_t length, off_t offset)
{
    const uint64_t first = uint64_t(offset / plainBlock);
    const uint64_t end = uint64_t((offset + off_t(length) + plainBlock - 1) / plainBlock);
    const size_t count = size_t(end - first);
    if (m_buffer.size() < count * ContentCipher::cipherBlock)
        m_buffer.resize(count * ContentCipher::cipherBlock);
    const ssize_t got = preadFully(m_fd, m_buffer.data(), count * ContentCipher::cipherBlock, cipherOffsetOf(first));
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
            if (const int error = decryptStored(m_buffer.data() + i * ContentCipher::cipherBlock, available, number,
                                                blockLength, out + (from - offset)))
                return error;
        } else {
            uint8_t plain[ContentCipher::plainBlock];
            if (const int error = decryptStored(m_buffer.data() + i * ContentCipher::cipherBlock, available, number,
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
    uint8_t head[ContentCipher::headerSize] = {0, 2};
    if (RAND_bytes(head + 2, int(ContentCipher::fileIdSize)) != 1)
        return -EIO;
    if (const int error = pwriteFully(m_fd, head, sizeof head, 0))
        return error;
    memcpy(m_fileId, head + 2, sizeof m_fileId);
    m_hasHeader = true;
    return 0;
}

void CipherFile::markDirty(Block &block)
{
    if (!block.dirty)
        ++m_dirtyBlocks;
    block.dirty = true;
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
        markDirty(block);
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
        Block *block = cached(number);
        if (!block && (from > start || to - start < off_t(blockLength))) {
            if (const int error = load(number, 1))
                return error;
            block = cached(number);
        }
        if (!block) {
            block = &insert(number, uint32_t(blockLength));
            memset(block->data, 0, blockLength);
        }
        memcpy(block->data + (from - start), in + (from - offset), size_t(to - from));
        markDirty(*block);
    }
    if (const int error = evict())
        return error;
    return ssize_t(length);
}

int CipherFile::truncate(off_t size)
{
    if (size == m_size)
        return 0;
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
            markDirty(block);
        }
    } else {
        const uint64_t keep = uint64_t((size + plainBlock - 1) / plainBlock);
        if (size % plainBlock != 0) {
            if (const int error = load(keep - 1, 1))
                return error;
        }
        for (auto it = m_blocks.begin(); it != m_blocks.end();) {
            if (it->first >= keep) {
                m_dirtyBlocks -= it->second.dirty ? 1 : 0;
                m_ages.erase(it->second.age);
                it = m_blocks.erase(it);
            } else {
                ++it;
            }
        }
        m_size = size;
        if (size % plainBlock != 0) {
            Block &block = m_blocks.at(keep - 1);
            block.resize(uint32_t(plainLengthOf(keep - 1, m_size)));
            markDirty(block);
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

int CipherFile::flush()
{
    if (m_dirtyBlocks == 0)
        return 0;
    std::vector<uint64_t> dirty;
    dirty.reserve(m_dirtyBlocks);
    for (const auto &[number, block] : m_blocks) {
        if (block.dirty)
            dirty.push_back(number);
    }
    std::sort(dirty.begin(), dirty.end());
    constexpr size_t runLimit = 1024; // blocks: at most 4 MiB in one write
    if (m_buffer.size() < runLimit * ContentCipher::cipherBlock)
        m_buffer.resize(runLimit * ContentCipher::cipherBlock);
    for (size_t i = 0; i < dirty.size();) {
        size_t j = i;
        size_t used = 0;
        // One write for each run of neighbouring blocks.
        while (j < dirty.size() && (j == i || dirty[j] == dirty[j - 1] + 1) && j - i < runLimit) {
            const Block &block = m_blocks.at(dirty[j]);
            if (!m_cipher.encrypt(block.data, block.length, dirty[j], m_fileId, m_buffer.data() + used))
                return -EIO;
            used += block.length + ContentCipher::overhead;
            ++j;
        }
        if (const int error = writeRun(m_buffer.data(), used, dirty[i], j - i))
            return error;
        for (size_t k = i; k < j; ++k)
            m_blocks.at(dirty[k]).dirty = false;
        m_dirtyBlocks -= j - i;
        i = j;
    }
    return 0;
}

int CipherFile::sync()
{
    if (const int error = flush())
        return error;
    return fdatasync(m_fd) == 0 ? 0 : -errno;
}

int CipherFile::discard(off_t offset, off_t length)
{
    const uint64_t first = uint64_t((offset + plainBlock - 1) / plainBlock);
    // Only whole blocks, and never a short last one.
    const uint64_t end = uint64_t(std::min(offset + length, m_size) / plainBlock);
    if (end <= first)
        return 0;
    for (uint64_t number = first; number < end; ++number) {
        const auto found = m_blocks.find(number);
        if (found == m_blocks.end())
            continue;
        m_dirtyBlocks -= found->second.dirty ? 1 : 0;
        m_ages.erase(found->second.age);
        m_blocks.erase(found);
    }
    if (fallocate(m_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, cipherOffsetOf(first),
                  off_t(end - first) * cipherBlock) != 0 && errno != EOPNOTSUPP) {
        // The blocks were free anyway: only the space stays taken.
        return -errno;
    }
    return 0;
}

int CipherFile::evict()
{
    if (m_blocks.size() <= m_capacity)
        return 0;
    if (const int error = flush())
        return error;
    while (m_blocks.size() > m_capacity * 3 / 4 && !m_ages.empty()) {
        m_blocks.erase(m_ages.front());
        m_ages.pop_front();
    }
    return 0;
}
