#pragma once

#include <ext2fs/ext2fs.h>

class CipherFile;

// An I/O manager for libext2fs that reads and writes the plain blocks of an encrypted image.
namespace ImageChannel {

// The manager serves the image given here; ext2fs_open2's name is not used.
[[nodiscard]] io_manager manager(CipherFile *image);

} // namespace ImageChannel
