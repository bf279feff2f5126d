#pragma once

#include <cstdint>

// The records tests/host-io.cpp appends to its trace: a head, the path, a second path for a
// rename, and the bytes of a write.
namespace HostIoTrace {

inline constexpr uint32_t magic = 0x74726368;

enum class Op : uint32_t {
    Write = 1, // offset, length, bytes
    Sync,      // fdatasync or fsync of a file or a folder that returned 0
    Punch,     // a hole over offset, length
    Allocate,  // space set aside over offset, length (a longer file when past its end)
    Truncate,  // the file's new length in offset
    Remove,
    Rename,
};

struct Record
{
    uint32_t magic;
    uint32_t op;
    uint32_t pathLength;
    uint32_t otherLength;
    int64_t offset;
    int64_t length;
};

} // namespace HostIoTrace
