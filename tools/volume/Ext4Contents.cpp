// File contents: opening, reading, writing, syncing, preallocating and punching holes; folders
// listed and the volume measured.

#include "Ext4Support.h"

#include <algorithm>
#include <cstring>
#include <linux/falloc.h>
#include <sys/statvfs.h>

using namespace Ext4Support;

// ---- file contents ----

void Ext4Volume::open(fuse_req_t req, fuse_ino_t fuseIno, fuse_file_info *fi)
{
    const ext2_ino_t ino = toExt(fuseIno);
    ext2_inode_large inode;
    if (const int error = readInode(ino, inode))
        return replyError(req, error);
    // The kernel leaves the truncation of an open with O_TRUNC to the open itself.
    if ((fi->flags & O_TRUNC) && LINUX_S_ISREG(inode.i_mode) && EXT2_I_SIZE(&inode) > 0) {
        int error = makeRoom(requestRoom);
        if (!error)
            error = setSize(ino, 0);
        if (!error && !(error = readInode(ino, inode))) {
            stampTimes(m_fs, inode, false, true, true);
            error = writeInode(ino, inode);
        }
        if (error)
            return replyError(req, error);
    }
    ++m_openCount[ino];
    fi->noflush = noFlushNeeded();
    // Every change to a file comes through this mount, so what the kernel cached of it is still
    // right: the next open reads it from there, not again from the disk.
    fi->keep_cache = 1;
    settle();
    fuse_reply_open(req, fi);
}

void Ext4Volume::release(fuse_req_t req, fuse_ino_t fuseIno)
{
    const ext2_ino_t ino = toExt(fuseIno);
    const auto found = m_openCount.find(ino);
    if (found != m_openCount.end() && --found->second <= 0) {
        m_openCount.erase(found);
        if (m_orphans.count(ino) && makeRoom(requestRoom) == 0)
            freeInode(ino);
    }
    replyError(req, 0);
}

// A close asks nothing of the volume while everything gets written back: the write or the fsync
// that would fail says so itself.
bool Ext4Volume::noFlushNeeded() const
{
    return m_writeBackError == 0;
}

// Closing a file opened while writing back failed: what could not be written back is reported here
// at the latest.
void Ext4Volume::flush(fuse_req_t req)
{
    replyError(req, m_writeBackError);
}

void Ext4Volume::fsync(fuse_req_t req)
{
    const int error = syncDurable();
    replyError(req, error ? error : m_writeBackError);
}

// Reads the extents of a file straight from the image, one read for each stretch of neighbouring
// blocks; holes and allocated but unwritten extents read as zeros.
int Ext4Volume::readExtents(ext2_ino_t ino, ext2_inode_large &inode, char *buffer, size_t size, off_t offset)
{
    Extents extents;
    if (const errcode_t error = extents.open(m_fs, ino, inode))
        return toErrno(error);
    const off_t blockSize = off_t(m_fs->blocksize);
    const off_t end = offset + off_t(size);
    int result = 0;
    for (off_t at = offset; at < end && result == 0;) {
        const blk64_t logical = blk64_t(at / blockSize);
        ext2fs_extent extent = {};
        const errcode_t found = ext2fs_extent_goto(extents.handle, logical);
        if (found == 0)
            ext2fs_extent_get(extents.handle, EXT2_EXTENT_CURRENT, &extent);
        else if (found != EXT2_ET_EXTENT_NOT_FOUND)
            result = toErrno(found);
        const bool mapped = found == 0 && logical >= extent.e_lblk && logical < extent.e_lblk + extent.e_len;
        const off_t stretchEnd = mapped ? std::min(end, off_t(extent.e_lblk + extent.e_len) * blockSize)
                                        : std::min(end, off_t(logical + 1) * blockSize);
        if (result == 0 && mapped && !(extent.e_flags & EXT2_EXTENT_FLAGS_UNINIT)) {
            const off_t from = off_t(extent.e_pblk + (logical - extent.e_lblk)) * blockSize + at % blockSize;
            const ssize_t got = m_image.read(buffer + (at - offset), size_t(stretchEnd - at), from);
            if (got != stretchEnd - at)
                result = got < 0 ? int(-got) : EIO;
        } else {
            memset(buffer + (at - offset), 0, size_t(stretchEnd - at));
        }
        at = stretchEnd;
    }
    return result;
}

void Ext4Volume::read(fuse_req_t req, fuse_ino_t fuseIno, size_t size, off_t offset)
{
    const ext2_ino_t ino = toExt(fuseIno);
    ext2_inode_large inode;
    if (const int error = readInode(ino, inode))
        return replyError(req, error);
    if (inode.i_flags & EXT4_EXTENTS_FL) {
        const off_t fileSize = off_t(EXT2_I_SIZE(&inode));
        size = offset >= fileSize ? 0 : size_t(std::min(off_t(size), fileSize - offset));
        const std::unique_ptr<char[]> buffer(new char[std::max<size_t>(size, 1)]);
        if (const int error = size ? readExtents(ino, inode, buffer.get(), size, offset) : 0)
            replyError(req, error);
        else
            fuse_reply_buf(req, buffer.get(), size);
        return;
    }
    OpenFile file;
    errcode_t error = file.open(m_fs, ino, 0);
    if (error)
        return replyError(req, toErrno(error));
    std::vector<char> buffer(size);
    unsigned int got = 0;
    error = ext2fs_file_llseek(file.file, __u64(offset), EXT2_SEEK_SET, nullptr);
    if (!error)
        error = ext2fs_file_read(file.file, buffer.data(), unsigned(size), &got);
    // A block that fails its authentication is an error, never a short read.
    if (error)
        replyError(req, toErrno(error));
    else
        fuse_reply_buf(req, buffer.data(), got);
}

// Blocks a range already maps but never wrote (allocated ahead, possibly by an earlier engine)
// get their room on the host disk before the write, so the write back cannot fail for want of it.
int Ext4Volume::reserveMapped(ext2_ino_t ino, ext2_inode_large &inode, off_t offset, off_t length)
{
    if (!(inode.i_flags & EXT4_EXTENTS_FL) || length <= 0)
        return 0;
    const blk64_t first = blk64_t(offset / m_fs->blocksize);
    const blk64_t end = blk64_t((offset + length + m_fs->blocksize - 1) / m_fs->blocksize);
    Extents extents;
    if (extents.open(m_fs, ino, inode) != 0)
        return 0;
    int result = 0;
    for (blk64_t at = first; at < end && result == 0;) {
        ext2fs_extent extent = {};
        if (ext2fs_extent_goto(extents.handle, at) != 0 ||
            ext2fs_extent_get(extents.handle, EXT2_EXTENT_CURRENT, &extent) != 0 || at < extent.e_lblk ||
            at >= extent.e_lblk + extent.e_len) {
            ++at;
            continue;
        }
        const blk64_t stop = std::min<blk64_t>(end, extent.e_lblk + extent.e_len);
        if (extent.e_flags & EXT2_EXTENT_FLAGS_UNINIT)
            result = reserveBlocks(extent.e_pblk + (at - extent.e_lblk), stop - at);
        at = stop;
    }
    return result;
}

void Ext4Volume::write(fuse_req_t req, fuse_ino_t fuseIno, const char *buffer, size_t size, off_t offset)
{
    const ext2_ino_t ino = toExt(fuseIno);
    ext2_inode_large inode;
    int error = readInode(ino, inode);
    if (!error)
        error = makeRoom(size + requestRoom);
    if (!error)
        error = reserveMapped(ino, inode, offset, off_t(size));
    if (error)
        return replyError(req, error);
    OpenFile file;
    unsigned int written = 0;
    errcode_t failure = file.open(m_fs, ino, EXT2_FILE_WRITE);
    if (!failure)
        failure = ext2fs_file_llseek(file.file, __u64(offset), EXT2_SEEK_SET, nullptr);
    if (!failure)
        failure = ext2fs_file_write(file.file, buffer, unsigned(size), &written);
    // The last block waits in the file's buffer until the close writes it: a close that fails
    // loses it, so the write as a whole failed.
    if (const errcode_t closed = file.close(); closed && !failure) {
        failure = closed;
        written = 0;
    }
    if (written > 0 && !readInode(ino, inode)) {
        stampTimes(m_fs, inode, false, true, true);
        // Writing takes away the set-user and set-group bits, as the kernel's file systems do.
        inode.i_mode &= __u16(~(S_ISUID | ((inode.i_mode & S_IXGRP) ? S_ISGID : 0)));
        if (const int stamped = writeInode(ino, inode))
            return replyError(req, damaged("writing a file", stamped));
    }
    if (failure && written == 0)
        return replyError(req, toErrno(failure));
    settle();
    fuse_reply_write(req, written);
}

// ---- directories and the volume ----

void Ext4Volume::readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset)
{
    struct Listing
    {
        fuse_req_t req;
        std::vector<char> buffer;
        size_t used = 0;
        off_t index = 0;
        off_t skip = 0;
    } listing{req, std::vector<char>(size), 0, 0, offset};
    const auto visit = [](ext2_ino_t, int, ext2_dir_entry *entry, int, int, char *, void *data) -> int {
        auto &list = *static_cast<Listing *>(data);
        if (++list.index <= list.skip)
            return 0;
        const std::string name(entry->name, size_t(ext2fs_dirent_name_len(entry)));
        struct stat st = {};
        st.st_ino = toFuse(entry->inode);
        st.st_mode = modeOfFileType(ext2fs_dirent_file_type(entry));
        const size_t room = list.buffer.size() - list.used;
        const size_t need = fuse_add_direntry(list.req, list.buffer.data() + list.used, room, name.c_str(), &st,
                                              list.index);
        if (need > room)
            return DIRENT_ABORT;
        list.used += need;
        return 0;
    };
    const errcode_t error = ext2fs_dir_iterate2(m_fs, toExt(ino), 0, nullptr, visit, &listing);
    if (error)
        replyError(req, toErrno(error));
    else
        fuse_reply_buf(req, listing.buffer.data(), listing.used);
}

void Ext4Volume::statfs(fuse_req_t req)
{
    struct statvfs st = {};
    ext2_super_block *super = m_fs->super;
    const blk64_t reserved = ext2fs_r_blocks_count(super);
    // What the volume could still take, and what the host disk could still hold of it.
    blk64_t free = ext2fs_free_blocks_count(super);
    const uint64_t storedBlock = uint64_t(m_fs->blocksize) / ContentCipher::plainBlock * ContentCipher::cipherBlock;
    if (const int64_t host = m_image.hostFreeBytes(); host >= 0)
        free = std::min<blk64_t>(free, blk64_t(host) / storedBlock + m_quarantine.count());
    st.f_bsize = m_fs->blocksize;
    st.f_frsize = m_fs->blocksize;
    // As the kernel's ext4 counts: the size leaves the file system's tables out, so that what is
    // in use is what the files take.
    st.f_blocks = ext2fs_blocks_count(super) - std::min(m_overhead, ext2fs_blocks_count(super));
    st.f_bfree = free;
    st.f_bavail = free > reserved ? free - reserved : 0;
    st.f_files = super->s_inodes_count;
    st.f_ffree = super->s_free_inodes_count;
    st.f_favail = super->s_free_inodes_count;
    st.f_namemax = EXT2_NAME_LEN;
    fuse_reply_statfs(req, &st);
}

// ---- preallocation and holes ----

// Maps the holes among logical blocks [first, end) to new unwritten blocks. Hole by hole, and a
// hole before the file's first extent starts with one block of its own, which keeps clear of
// libext2fs 1.47.0 allocating up to the next extent instead of the range asked for.
int Ext4Volume::allocate(ext2_ino_t ino, ext2_inode_large &inode, blk64_t first, blk64_t end)
{
    std::vector<std::pair<blk64_t, blk64_t>> mapped; // logical starts and ends, in order
    {
        Extents extents;
        errcode_t error = extents.open(m_fs, ino, inode);
        if (!error)
            error = extents.forEach([&](const ext2fs_extent &extent) {
                mapped.emplace_back(extent.e_lblk, blk64_t(extent.e_lblk) + extent.e_len);
            });
        if (error)
            return toErrno(error);
    }
    const int flags = EXT2_FALLOCATE_FORCE_UNINIT | EXT2_FALLOCATE_INIT_BEYOND_EOF;
    size_t next = 0;
    for (blk64_t at = first; at < end;) {
        while (next < mapped.size() && mapped[next].second <= at)
            ++next;
        if (next < mapped.size() && mapped[next].first <= at) {
            at = mapped[next].second;
            continue;
        }
        const blk64_t holeEnd = std::min(end, next < mapped.size() ? mapped[next].first : end);
        blk64_t from = at;
        if (next == 0 && !mapped.empty() && holeEnd < mapped.front().first) {
            blk64_t physical = 0;
            if (const errcode_t error = ext2fs_bmap2(m_fs, ino, small(inode), nullptr, BMAP_ALLOC | BMAP_UNINIT,
                                                     from, nullptr, &physical))
                return toErrno(error);
            ++from;
            mapped.insert(mapped.begin(), {at, from});
            ++next;
        }
        if (from < holeEnd) {
            if (const errcode_t error =
                    ext2fs_fallocate(m_fs, flags, ino, small(inode), ~0ULL, from, holeEnd - from))
                return toErrno(error);
        }
        at = holeEnd;
    }
    return 0;
}

// Writes zeros over a byte range inside blocks the file has written; holes and unwritten blocks
// read as zeros already and stay as they are.
int Ext4Volume::zeroRange(ext2_ino_t ino, off_t from, off_t to)
{
    const off_t blockSize = off_t(m_fs->blocksize);
    for (off_t at = from; at < to;) {
        const off_t stop = std::min(to, (at / blockSize + 1) * blockSize);
        ext2_inode_large inode;
        if (const int error = readInode(ino, inode))
            return error;
        blk64_t physical = 0;
        int flags = 0;
        const errcode_t mapped =
            ext2fs_bmap2(m_fs, ino, small(inode), nullptr, 0, blk64_t(at / blockSize), &flags, &physical);
        if (mapped)
            return toErrno(mapped);
        if (physical != 0 && !(flags & BMAP_RET_UNINIT)) {
            OpenFile file;
            const std::vector<char> zeros(size_t(stop - at), 0);
            unsigned int written = 0;
            errcode_t failed = file.open(m_fs, ino, EXT2_FILE_WRITE);
            if (!failed)
                failed = ext2fs_file_llseek(file.file, __u64(at), EXT2_SEEK_SET, nullptr);
            if (!failed)
                failed = ext2fs_file_write(file.file, zeros.data(), unsigned(zeros.size()), &written);
            const errcode_t closed = file.close();
            if (failed || closed)
                return toErrno(failed ? failed : closed);
        }
        at = stop;
    }
    return 0;
}

// Zeros the partial blocks at either end of a range and frees the whole ones in between.
int Ext4Volume::punchRange(ext2_ino_t ino, off_t offset, off_t length)
{
    const off_t blockSize = off_t(m_fs->blocksize);
    ext2_inode_large inode;
    if (const int error = readInode(ino, inode))
        return error;
    const off_t end = std::min(offset + length, off_t(EXT2_I_SIZE(&inode)));
    const off_t firstWhole = (offset + blockSize - 1) / blockSize * blockSize;
    const off_t endWhole = end / blockSize * blockSize;
    if (offset >= end)
        return 0;
    if (firstWhole >= endWhole)
        return zeroRange(ino, offset, end);
    // Splitting an extent may take a block: the volume must have one not waiting for release.
    if (ext2fs_free_blocks_count(m_fs->super) < m_quarantine.count() + 4)
        return ENOSPC;
    int error = zeroRange(ino, offset, firstWhole);
    if (!error)
        error = zeroRange(ino, endWhole, end);
    if (!error && !(error = readInode(ino, inode))) {
        error = toErrno(ext2fs_punch(m_fs, ino, small(inode), nullptr, blk64_t(firstWhole / blockSize),
                                     blk64_t(endWhole / blockSize) - 1));
        if (error)
            error = damaged("punching a hole", error);
    }
    return error;
}

// Preallocation (mode 0, with or without keeping the size), holes, and zeroed ranges (a hole with
// the space allocated again).
void Ext4Volume::fallocate(fuse_req_t req, fuse_ino_t fuseIno, int mode, off_t offset, off_t length)
{
    const ext2_ino_t ino = toExt(fuseIno);
    const off_t blockSize = off_t(m_fs->blocksize);
    const bool keepSize = mode & FALLOC_FL_KEEP_SIZE;
    const int kind = mode & ~FALLOC_FL_KEEP_SIZE;
    ext2_inode_large inode;
    int error = readInode(ino, inode);
    if (!error && !LINUX_S_ISREG(inode.i_mode))
        error = ENODEV;
    if (!error && (offset < 0 || length <= 0))
        error = EINVAL;
    if (!error && offset > std::numeric_limits<off_t>::max() - length)
        error = EFBIG;
    if (!error && kind != 0 && kind != FALLOC_FL_ZERO_RANGE && !(kind == FALLOC_FL_PUNCH_HOLE && keepSize))
        error = EOPNOTSUPP;
    if (!error)
        error = makeRoom(requestRoom);
    if (!error && kind != 0)
        error = punchRange(ino, offset, length);
    if (!error)
        error = readInode(ino, inode);
    if (error)
        return replyError(req, error);
    if (kind != FALLOC_FL_PUNCH_HOLE) {
        error = allocate(ino, inode, blk64_t(offset / blockSize),
                         blk64_t((offset + length + blockSize - 1) / blockSize));
        // What was allocated before a failure stays, and the inode says so.
        if (!error && !keepSize && off_t(EXT2_I_SIZE(&inode)) < offset + length)
            ext2fs_inode_size_set(m_fs, small(inode), ext2_off64_t(offset + length));
    }
    stampTimes(m_fs, inode, false, true, true);
    if (const int written = writeInode(ino, inode))
        return replyError(req, damaged("allocating space", written));
    replyError(req, error);
}
