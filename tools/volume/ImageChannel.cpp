#include "ImageChannel.h"

#include "CipherFile.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace ImageChannel {

namespace {

CipherFile *servedImage = nullptr;

CipherFile *imageOf(io_channel channel)
{
    return static_cast<CipherFile *>(channel->private_data);
}

// libext2fs passes a negative count for a length in bytes.
size_t byteCount(io_channel channel, int count)
{
    return count < 0 ? size_t(-count) : size_t(count) * size_t(channel->block_size);
}

errcode_t failure(ssize_t result)
{
    return result < 0 ? errcode_t(-result) : EXT2_ET_SHORT_READ;
}

errcode_t openChannel(const char *name, int, io_channel *channel)
{
    if (!servedImage)
        return EXT2_ET_BAD_DEVICE_NAME;
    auto *created = static_cast<io_channel>(calloc(1, sizeof(struct struct_io_channel)));
    if (!created)
        return EXT2_ET_NO_MEMORY;
    created->magic = EXT2_ET_MAGIC_IO_CHANNEL;
    created->manager = manager(servedImage);
    created->name = strdup(name);
    created->block_size = 1024;
    created->refcount = 1;
    created->private_data = servedImage;
    *channel = created;
    return 0;
}

errcode_t closeChannel(io_channel channel)
{
    if (--channel->refcount > 0)
        return 0;
    const int error = imageOf(channel)->flush();
    free(channel->name);
    free(channel);
    return errcode_t(-error);
}

errcode_t setBlockSize(io_channel channel, int size)
{
    channel->block_size = size;
    return 0;
}

errcode_t read64(io_channel channel, unsigned long long block, int count, void *data)
{
    const size_t length = byteCount(channel, count);
    const ssize_t got = imageOf(channel)->read(data, length, off_t(block) * channel->block_size);
    if (got == ssize_t(length))
        return 0;
    // Past the end of the image: what a check of a shrunken image may ask for.
    if (got >= 0) {
        memset(static_cast<char *>(data) + got, 0, length - size_t(got));
        return EXT2_ET_SHORT_READ;
    }
    return failure(got);
}

errcode_t write64(io_channel channel, unsigned long long block, int count, const void *data)
{
    const size_t length = byteCount(channel, count);
    const ssize_t put = imageOf(channel)->write(data, length, off_t(block) * channel->block_size);
    return put == ssize_t(length) ? 0 : failure(put);
}

errcode_t read32(io_channel channel, unsigned long block, int count, void *data)
{
    return read64(channel, block, count, data);
}

errcode_t write32(io_channel channel, unsigned long block, int count, const void *data)
{
    return write64(channel, block, count, data);
}

errcode_t writeBytes(io_channel channel, unsigned long offset, int count, const void *data)
{
    const ssize_t put = imageOf(channel)->write(data, size_t(count), off_t(offset));
    return put == count ? 0 : failure(put);
}

errcode_t flushChannel(io_channel channel)
{
    return errcode_t(-imageOf(channel)->flush());
}

errcode_t setOption(io_channel, const char *, const char *)
{
    return EXT2_ET_INVALID_ARGUMENT;
}

errcode_t discard(io_channel channel, unsigned long long block, unsigned long long count)
{
    return errcode_t(-imageOf(channel)->discard(off_t(block) * channel->block_size,
                                                off_t(count) * channel->block_size));
}

errcode_t zeroOut(io_channel channel, unsigned long long block, unsigned long long count)
{
    // Written, not punched: zeros must read back as zeros even where holes cannot be made.
    const std::vector<char> zeros(size_t(channel->block_size), 0);
    for (unsigned long long i = 0; i < count; ++i) {
        if (const errcode_t error = write64(channel, block + i, 1, zeros.data()))
            return error;
    }
    return 0;
}

errcode_t readAhead(io_channel, unsigned long long, unsigned long long)
{
    return 0;
}

struct struct_io_manager imageManager = [] {
    struct struct_io_manager m = {};
    m.magic = EXT2_ET_MAGIC_IO_MANAGER;
    m.name = "Encrypted image I/O manager";
    m.open = openChannel;
    m.close = closeChannel;
    m.set_blksize = setBlockSize;
    m.read_blk = read32;
    m.write_blk = write32;
    m.flush = flushChannel;
    m.write_byte = writeBytes;
    m.set_option = setOption;
    m.read_blk64 = read64;
    m.write_blk64 = write64;
    m.discard = discard;
    m.cache_readahead = readAhead;
    m.zeroout = zeroOut;
    return m;
}();

} // namespace

io_manager manager(CipherFile *image)
{
    servedImage = image;
    return &imageManager;
}

} // namespace ImageChannel
