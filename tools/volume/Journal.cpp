#include "Journal.h"

#include "HostFile.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char headerMagic[16] = {'h', 'o', 'l', 'l', 'o', 'w', 'k', 'e', 'e', 'p', '-', 'j', 'r', 'n', 'l', 1};
constexpr off_t recordsStart = 4096;
constexpr uint32_t recordMagic = 0x58544b48; // "HKTX"
constexpr size_t chunkPlain = ContentCipher::plainBlock;
constexpr size_t chunkStored = ContentCipher::cipherBlock;
// Each chunk starts with the id of its record, so chunks of two attempts at one record never mix.
constexpr size_t recordIdSize = 8;
constexpr size_t chunkData = chunkPlain - recordIdSize;
struct RecordHead
{
    uint32_t magic;
    uint32_t chunks;
    uint32_t length;
    uint32_t reserved;
    uint64_t sequence;
};
constexpr size_t firstChunkData = chunkData - sizeof(RecordHead);
constexpr off_t growStep = 1 << 20;

off_t chunkOffset(uint64_t index)
{
    return recordsStart + off_t(index * chunkStored);
}

template<typename T>
void put(std::vector<uint8_t> &out, T value)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(&value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

template<typename T>
bool take(const std::vector<uint8_t> &in, size_t &at, T &value)
{
    if (in.size() - at < sizeof value)
        return false;
    memcpy(&value, in.data() + at, sizeof value);
    at += sizeof value;
    return true;
}

} // namespace

void Journal::Transaction::putHead(Kind kind, uint64_t block)
{
    m_bytes.push_back(uint8_t(kind));
    put(m_bytes, block);
}

void Journal::Transaction::addBlock(uint64_t block, const uint8_t *plain, size_t length)
{
    putHead(Kind::Block, block);
    put(m_bytes, uint16_t(length));
    m_bytes.insert(m_bytes.end(), plain, plain + length);
}

void Journal::Transaction::addPiece(uint64_t block, size_t offset, const uint8_t *bytes, size_t length)
{
    putHead(Kind::Piece, block);
    put(m_bytes, uint16_t(offset));
    put(m_bytes, uint16_t(length));
    m_bytes.insert(m_bytes.end(), bytes, bytes + length);
}

void Journal::Transaction::addInPlace(uint64_t block, const uint8_t *nonce)
{
    putHead(Kind::InPlace, block);
    m_bytes.insert(m_bytes.end(), nonce, nonce + ContentCipher::nonceSize);
}

void Journal::Transaction::addDurableBefore()
{
    putHead(Kind::DurableBefore, 0);
}

bool Journal::Transaction::entries(std::vector<Entry> &out) const
{
    out.clear();
    for (size_t at = 0; at < m_bytes.size();) {
        Entry entry{Kind(m_bytes[at++])};
        if (!take(m_bytes, at, entry.block))
            return false;
        switch (entry.kind) {
        case Kind::Block:
            if (!take(m_bytes, at, entry.length))
                return false;
            break;
        case Kind::Piece:
            if (!take(m_bytes, at, entry.offset) || !take(m_bytes, at, entry.length))
                return false;
            break;
        case Kind::InPlace:
            entry.length = uint16_t(ContentCipher::nonceSize);
            break;
        case Kind::DurableBefore:
            break;
        default:
            return false;
        }
        if (size_t(entry.offset) + entry.length > ContentCipher::plainBlock || m_bytes.size() - at < entry.length)
            return false;
        entry.bytes = m_bytes.data() + at;
        at += entry.length;
        out.push_back(entry);
    }
    return true;
}

Journal::Journal(int fd, std::string path, ContentCipher &cipher)
    : m_fd(fd)
    , m_path(std::move(path))
    , m_cipher(cipher)
{
}

Journal::~Journal()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

uint64_t Journal::chunksFor(size_t payloadBytes)
{
    if (payloadBytes <= firstChunkData)
        return 1;
    return 1 + (payloadBytes - firstChunkData + chunkData - 1) / chunkData;
}

bool Journal::readChunk(uint64_t index, uint8_t *plain)
{
    uint8_t stored[chunkStored];
    return HostFile::readAt(m_fd, stored, sizeof stored, chunkOffset(index)) == ssize_t(sizeof stored) &&
           m_cipher.decrypt(stored, sizeof stored, index, m_id, plain);
}

int Journal::open(const std::string &path, ContentCipher &cipher, bool readOnly, std::unique_ptr<Journal> &journal,
                  std::vector<Transaction> &left)
{
    journal.reset();
    left.clear();
    const int fd = ::open(path.c_str(), (readOnly ? O_RDONLY : O_RDWR | O_CREAT) | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return readOnly && errno == ENOENT ? 0 : -errno;
    std::unique_ptr<Journal> opened(new Journal(fd, path, cipher));
    struct stat info;
    if (fstat(fd, &info) != 0)
        return -errno;
    opened->m_allocated = info.st_size;
    uint8_t header[sizeof headerMagic + ContentCipher::fileIdSize];
    const bool known = HostFile::readAt(fd, header, sizeof header, 0) == ssize_t(sizeof header) &&
                       memcmp(header, headerMagic, sizeof headerMagic) == 0;
    if (known) {
        memcpy(opened->m_id, header + sizeof headerMagic, ContentCipher::fileIdSize);
        const uint64_t chunks = info.st_size > recordsStart ? uint64_t(info.st_size - recordsStart) / chunkStored : 0;
        uint8_t plain[chunkPlain];
        std::vector<uint8_t> payload;
        for (uint64_t index = 0, expected = 1; index < chunks; ++expected) {
            RecordHead head;
            if (!opened->readChunk(index, plain))
                break;
            uint64_t recordId;
            memcpy(&recordId, plain, recordIdSize);
            memcpy(&head, plain + recordIdSize, sizeof head);
            if (head.magic != recordMagic || head.sequence != expected || head.chunks == 0 ||
                head.chunks > chunks - index || chunksFor(head.length) != head.chunks)
                break;
            payload.assign(plain + recordIdSize + sizeof head, plain + chunkPlain);
            bool whole = true;
            for (uint64_t j = 1; j < head.chunks && whole; ++j) {
                uint64_t id = 0;
                whole = opened->readChunk(index + j, plain);
                if (whole)
                    memcpy(&id, plain, recordIdSize);
                whole = whole && id == recordId;
                payload.insert(payload.end(), plain + recordIdSize, plain + chunkPlain);
            }
            if (!whole)
                break;
            payload.resize(head.length);
            left.emplace_back(std::move(payload));
            payload = {};
            index += head.chunks;
        }
    } else if (!readOnly) {
        // New, or never finished being made: a round of its own, and a name that survives a crash.
        if (const int error = opened->retire())
            return error;
        if (const int error = HostFile::syncFolderOf(path))
            return error;
    }
    journal = std::move(opened);
    return 0;
}

int Journal::writeHeader()
{
    uint8_t header[recordsStart] = {};
    memcpy(header, headerMagic, sizeof headerMagic);
    memcpy(header + sizeof headerMagic, m_id, sizeof m_id);
    return HostFile::writeAt(m_fd, header, sizeof header, 0);
}

int Journal::retire()
{
    if (RAND_bytes(m_id, int(sizeof m_id)) != 1 ||
        RAND_bytes(reinterpret_cast<unsigned char *>(&m_attempts), int(sizeof m_attempts)) != 1)
        return -EIO;
    if (const int error = writeHeader())
        return error;
    if (fdatasync(m_fd) != 0)
        return -errno;
    m_tail = 0;
    m_tailPage.clear();
    m_sequence = 0;
    m_unsynced = false;
    if (m_allocated < recordsStart)
        m_allocated = recordsStart;
    return 0;
}

int Journal::reserve(size_t payloadBytes)
{
    const off_t needed = HostFile::pageEnd(chunkOffset(m_tail + chunksFor(payloadBytes)));
    if (needed <= m_allocated)
        return 0;
    const off_t target = std::max(needed, m_allocated + growStep);
    if (fallocate(m_fd, 0, m_allocated, target - m_allocated) != 0) {
        // A disk that cannot set space aside: the writes themselves will tell.
        if (errno == EOPNOTSUPP)
            return 0;
        return -errno;
    }
    m_allocated = target;
    return 0;
}

int Journal::append(const Transaction &transaction)
{
    const std::vector<uint8_t> &payload = transaction.bytes();
    const uint64_t chunks = chunksFor(payload.size());
    if (const int error = reserve(payload.size()))
        return error;
    RecordHead head{recordMagic, uint32_t(chunks), uint32_t(payload.size()), 0, m_sequence + 1};
    // Unique for each attempt of the round: a random start, counted on.
    const uint64_t recordId = ++m_attempts;
    // The record goes out with the start of its first page (the end of the record before, the same
    // bytes again) and zeros to the end of its last page, which the next record writes over.
    const off_t start = chunkOffset(m_tail), first = HostFile::pageStart(start);
    const size_t before = size_t(start - first);
    if (m_tailPage.size() != before) {
        m_tailPage.resize(before);
        if (HostFile::readAt(m_fd, m_tailPage.data(), before, first) != ssize_t(before))
            return -EIO;
    }
    const size_t recordBytes = size_t(chunks) * chunkStored;
    m_buffer.assign(size_t(HostFile::pageEnd(start + off_t(recordBytes)) - first), 0);
    std::copy(m_tailPage.begin(), m_tailPage.end(), m_buffer.begin());
    uint8_t plain[chunkPlain];
    size_t used = 0;
    for (uint64_t j = 0; j < chunks; ++j) {
        memset(plain, 0, sizeof plain);
        memcpy(plain, &recordId, recordIdSize);
        size_t at = recordIdSize;
        if (j == 0) {
            memcpy(plain + at, &head, sizeof head);
            at += sizeof head;
        }
        const size_t piece = std::min(payload.size() - used, chunkPlain - at);
        memcpy(plain + at, payload.data() + used, piece);
        used += piece;
        if (!m_cipher.encrypt(plain, chunkPlain, m_tail + j, m_id, m_buffer.data() + before + j * chunkStored))
            return -EIO;
    }
    if (const int error = HostFile::writeAt(m_fd, m_buffer.data(), m_buffer.size(), first))
        return error;
    const size_t end = before + recordBytes;
    m_tailPage.assign(m_buffer.begin() + ptrdiff_t(HostFile::pageStart(off_t(end))), m_buffer.begin() + ptrdiff_t(end));
    m_tail += chunks;
    m_sequence = head.sequence;
    m_unsynced = true;
    return 0;
}

int Journal::sync()
{
    if (!m_unsynced)
        return 0;
    if (fdatasync(m_fd) != 0)
        return -errno;
    m_unsynced = false;
    return 0;
}

int Journal::remove()
{
    ::close(m_fd);
    m_fd = -1;
    return ::unlink(m_path.c_str()) == 0 ? 0 : -errno;
}
