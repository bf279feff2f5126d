#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

// Reading and writing files of the host disk whole, whatever the kernel splits.
namespace HostFile {

// The host's page, which is also the largest logical block a host disk has: writes of whole pages
// never make the host read a page back first, and direct reads go in whole pages.
constexpr off_t page = 4096;

constexpr off_t pageStart(off_t offset)
{
    return offset / page * page;
}

constexpr off_t pageEnd(off_t offset)
{
    return pageStart(offset + page - 1);
}

// Bytes read (fewer at the end of the file), or a negative errno. A direct read goes in whole
// units of the disk: one that ends inside a unit met the end of the file.
[[nodiscard]] ssize_t readAt(int fd, uint8_t *buffer, size_t length, off_t offset, size_t unit = 1);
// 0 or a negative errno.
[[nodiscard]] int writeAt(int fd, const uint8_t *buffer, size_t length, off_t offset);
// Makes the entry of a new file in its folder durable. 0 or a negative errno.
[[nodiscard]] int syncFolderOf(const std::string &path);

} // namespace HostFile
