#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <memory>

#include <sys/types.h>

// Long reads of a cipher file go straight from the disk into memory of their own, past the host's
// page cache: a read through the cache pays for a copy out of it, and on a busy host the pages the
// cache has just taken in are slow to touch, so that copy cost from one to four times what
// decrypting does. Direct reads get no read-ahead from the kernel, so a sequential reader gets
// ours: the next stretch is read on a second thread while this one is decrypted.
class StoredReader
{
public:
    // fd: the cipher file, as opened for the cache.
    explicit StoredReader(int fd);
    ~StoredReader();
    StoredReader(const StoredReader &) = delete;
    StoredReader &operator=(const StoredReader &) = delete;

    // The stored blocks [first, first + count): how many of their bytes there are (fewer at the end
    // of the file) or a negative errno, and in stored where they start, valid until the next call.
    // -EOPNOTSUPP: read through the cache instead, as the host file system refuses direct reads or
    // its cache holds these blocks already.
    [[nodiscard]] ssize_t read(uint64_t first, uint64_t count, const uint8_t *&stored);
    // The file is about to change: nothing read so far may be used again.
    void forget();

private:
    struct Stretch
    {
        std::unique_ptr<uint8_t, decltype(&free)> memory{nullptr, &free};
        size_t capacity = 0;
        uint64_t first = 0, count = 0; // the blocks it holds; none while count is 0
        off_t from = 0;                // where its memory starts in the file
        ssize_t got = 0;               // bytes read from there, or a negative errno
        std::future<ssize_t> pending;  // the read, while it runs on the second thread

        [[nodiscard]] bool holds(uint64_t block, uint64_t blocks) const
        {
            return count > 0 && block >= first && block + blocks <= first + count;
        }
        void settle();
    };

    // Reads the blocks into the stretch, now or (ahead) on the second thread. 0 or a negative errno.
    int fill(Stretch &stretch, uint64_t first, uint64_t count, bool ahead);

    [[nodiscard]] bool inHostCache(uint64_t first, uint64_t count);

    int m_fd = -1;
    bool m_askCache = true; // whether the kernel can say what its cache holds
    Stretch m_stretches[2];
    uint64_t m_nextBlock = UINT64_MAX; // where a sequential reader reads next
};
