#pragma once

#include "ContentCipher.h"

#include <cstdint>
#include <cstring>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include <sys/types.h>

// One file of the cipher folder seen as its plain bytes: blocks are decrypted on reading and
// encrypted on writing back, through a write-back cache of plain blocks. Not thread-safe: the
// daemon serialises every caller.
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
    // Encrypts and writes every changed block; sync also makes it durable.
    int flush();
    int sync();
    // Forgets the plain bytes of a range and gives the disk space of its whole blocks back.
    int discard(off_t offset, off_t length);
    [[nodiscard]] size_t dirtyBytes() const { return m_dirtyBlocks * ContentCipher::plainBlock; }

    // Records each write of blocks in the file at path while it runs. A stored block spans two
    // pages of the host, so a process that ends in the middle of a write can leave one block
    // half old and half new, which no longer authenticates; the record lets such a block be put
    // right. A record left behind by an earlier process is applied first. 0 or a negative errno.
    int keepWriteLog(const std::string &path);

private:
    struct Block
    {
        uint8_t data[ContentCipher::plainBlock]; // not initialised: only length bytes count
        uint32_t length = 0; // the block's plain length
        bool dirty = false;
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
    int decryptStored(const uint8_t *stored, ssize_t available, uint64_t number, size_t length, uint8_t *plain);
    // Reads a long range around the cache: blocks not in it are decrypted straight into the buffer.
    ssize_t stream(uint8_t *out, size_t length, off_t offset);
    Block *cached(uint64_t block);
    int makeHeader();
    void markDirty(Block &block);
    int evict();
    int grow(off_t size);
    int writeRun(const uint8_t *stored, size_t length, uint64_t first, uint64_t count);
    int repairRun(const uint8_t *copies, size_t copyLength, uint64_t first, uint64_t count);

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
    uint64_t m_nextRead = UINT64_MAX; // where a sequential reader would read next
    std::vector<uint8_t> m_buffer;    // ciphertext on its way from or to the disk
    int m_logFd = -1;
    std::string m_logPath;
};
