// libext2fs checksums every folder block, bitmap, inode and group it writes with CRC32C, in a
// portable table loop; with blocks of 32 KiB that loop was a sixth of the daemon's work when files
// are created. This definition takes the library's place (the library calls the function through
// its symbol table, so the daemon's own one wins) and uses the processor's CRC32 instruction;
// without one it passes the call on to the library.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <dlfcn.h>

#if defined(__x86_64__)
#include <nmmintrin.h>

namespace {

__attribute__((target("sse4.2"))) uint32_t crc32cHardware(uint32_t crc, const unsigned char *p, size_t length)
{
    uint64_t wide = crc;
    for (; length >= 8; p += 8, length -= 8) {
        uint64_t word;
        memcpy(&word, p, sizeof word);
        wide = _mm_crc32_u64(wide, word);
    }
    auto narrow = uint32_t(wide);
    for (; length > 0; ++p, --length)
        narrow = _mm_crc32_u8(narrow, *p);
    return narrow;
}

} // namespace
#endif

extern "C" uint32_t ext2fs_crc32c_le(uint32_t crc, const unsigned char *p, size_t length)
{
#if defined(__x86_64__)
    static const bool hardware = __builtin_cpu_supports("sse4.2");
    if (hardware)
        return crc32cHardware(crc, p, length);
#endif
    using Checksum = uint32_t (*)(uint32_t, const unsigned char *, size_t);
    static const auto library = reinterpret_cast<Checksum>(dlsym(RTLD_NEXT, "ext2fs_crc32c_le"));
    return library(crc, p, length);
}
