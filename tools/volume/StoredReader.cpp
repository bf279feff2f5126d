#include "StoredReader.h"

#include "CipherLayout.h"
#include "HostFile.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <system_error>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SYS_cachestat
#define SYS_cachestat 451 // Linux 6.5; the C library may not name it yet
#endif

using namespace CipherLayout;

namespace {

constexpr uint64_t stretchBlocks = 256; // 1 MiB of plain data

} // namespace

StoredReader::StoredReader(int fd)
{
    if (fd >= 0)
        m_fd = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
}

StoredReader::~StoredReader()
{
    forget();
    if (m_fd >= 0)
        ::close(m_fd);
}

void StoredReader::Stretch::settle()
{
    if (pending.valid())
        got = pending.get();
}

void StoredReader::forget()
{
    for (Stretch &stretch : m_stretches) {
        stretch.settle();
        stretch.count = 0;
    }
    m_nextBlock = UINT64_MAX;
}

int StoredReader::fill(Stretch &stretch, uint64_t first, uint64_t count, bool ahead)
{
    stretch.settle();
    stretch.count = 0;
    const off_t from = HostFile::pageStart(cipherOffsetOf(first));
    const size_t span = size_t(HostFile::pageEnd(cipherOffsetOf(first + count)) - from);
    if (stretch.capacity < span) {
        stretch.memory.reset(static_cast<uint8_t *>(std::aligned_alloc(size_t(HostFile::page), span)));
        stretch.capacity = stretch.memory ? span : 0;
        if (!stretch.memory)
            return -ENOMEM;
    }
    stretch.first = first;
    stretch.count = count;
    stretch.from = from;
    uint8_t *memory = stretch.memory.get();
    if (ahead) {
        try {
            stretch.pending = std::async(std::launch::async, HostFile::readAt, m_fd, memory, span, from, size_t(HostFile::page));
            return 0;
        } catch (const std::system_error &) {
            // No second thread to be had: read now.
        }
    }
    stretch.got = HostFile::readAt(m_fd, memory, span, from, size_t(HostFile::page));
    return stretch.got < 0 ? int(stretch.got) : 0;
}

// Blocks written or read lately are still in the host's cache: a copy out of it beats the disk,
// and a direct read of pages not yet written back would have to wait for them. Kernels before 6.5
// cannot tell; they read from the disk.
bool StoredReader::inHostCache(uint64_t first, uint64_t count)
{
    if (!m_askCache)
        return false;
    struct
    {
        uint64_t offset, length;
    } range{uint64_t(cipherOffsetOf(first)), uint64_t(count) * uint64_t(cipherBlock)};
    struct
    {
        uint64_t cached, dirty, writeback, evicted, recentlyEvicted;
    } found{};
    if (syscall(SYS_cachestat, m_fd, &range, &found, 0) != 0) {
        m_askCache = errno != ENOSYS;
        return false;
    }
    const off_t start = off_t(range.offset);
    const auto pages = uint64_t((HostFile::pageEnd(start + off_t(range.length)) - HostFile::pageStart(start)) / HostFile::page);
    return found.cached >= pages || found.dirty > 0 || found.writeback > 0;
}

ssize_t StoredReader::read(uint64_t first, uint64_t count, const uint8_t *&stored)
{
    if (m_fd < 0)
        return -EOPNOTSUPP;
    const bool sequential = first == m_nextBlock;
    Stretch *found = nullptr;
    for (Stretch &stretch : m_stretches) {
        if (stretch.holds(first, count)) {
            stretch.settle();
            // An error somewhere in a stretch read ahead may lie outside these blocks: read them alone.
            found = stretch.got < 0 ? nullptr : &stretch;
            break;
        }
    }
    const bool readAhead = found != nullptr;
    if (!found && inHostCache(first, count)) {
        m_nextBlock = first + count;
        return -EOPNOTSUPP;
    }
    if (!found) {
        forget();
        found = &m_stretches[0];
        const int error = fill(*found, first, sequential ? std::max(count, stretchBlocks) : count, false);
        if (error == -EINVAL) {
            // The host file system wants another alignment, or refuses direct reads after all.
            ::close(m_fd);
            m_fd = -1;
            return -EOPNOTSUPP;
        }
        if (error)
            return error;
    }
    m_nextBlock = first + count;
    const uint64_t next = found->first + found->count;
    Stretch &other = found == &m_stretches[0] ? m_stretches[1] : m_stretches[0];
    if ((sequential || readAhead) && !other.holds(next, 1))
        fill(other, next, stretchBlocks, true);
    const off_t start = cipherOffsetOf(first) - found->from;
    stored = found->memory.get() + start;
    return std::clamp<ssize_t>(found->got - ssize_t(start), 0, ssize_t(count) * cipherBlock);
}
