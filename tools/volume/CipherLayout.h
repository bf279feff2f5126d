#pragma once

// How a cipher file lies on the disk: a header, then each 4096-byte plain block as a stored block
// of nonce, ciphertext and tag; and the sizes the cipher file works in.

#include "ContentCipher.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/types.h>

namespace CipherLayout {

constexpr off_t plainBlock = off_t(ContentCipher::plainBlock);
constexpr off_t cipherBlock = off_t(ContentCipher::cipherBlock);
constexpr off_t header = off_t(ContentCipher::headerSize);
constexpr uint64_t readAhead = 64; // blocks: 256 KiB
constexpr size_t streamingLength = 64 * 1024;
constexpr size_t runLimit = 1024; // blocks: at most 4 MiB in one write
// A checkpoint is due once a round of the journal holds this much.
constexpr uint64_t roundLimit = 8u << 20;

inline off_t cipherSizeOf(off_t plainSize)
{
    if (plainSize == 0)
        return 0;
    const off_t rest = plainSize % plainBlock;
    return header + plainSize / plainBlock * cipherBlock + (rest ? rest + off_t(ContentCipher::overhead) : 0);
}

inline off_t cipherOffsetOf(uint64_t block)
{
    return header + off_t(block) * cipherBlock;
}

inline bool allZero(const uint8_t *data, size_t length)
{
    return length == 0 || (data[0] == 0 && memcmp(data, data + 1, length - 1) == 0);
}

inline int punch(int fd, off_t offset, off_t length)
{
    return fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length) == 0 ? 0 : -errno;
}

} // namespace CipherLayout
