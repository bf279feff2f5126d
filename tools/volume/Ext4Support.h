#pragma once

// What the rooms of the volume daemon share: conversions between FUSE, libext2fs and the kernel's
// types, times, the handles that close themselves, and the log.

#include "Ext4Volume.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <sys/sysmacros.h>
#include <syslog.h>

namespace Ext4Support {

// Kernel caches of names and attributes: every change goes through this process, so a second
// of caching is safe and saves most lookups.
constexpr double cacheSeconds = 1.0;
constexpr auto syncInterval = std::chrono::seconds(1);
constexpr auto checkpointInterval = std::chrono::seconds(5);
// Freed space goes back to the host disk this soon.
constexpr auto giveBackDelay = std::chrono::milliseconds(100);
constexpr int linkMax = 65000;
// Blocks set aside on the host disk at a time for a growing file.
constexpr blk64_t reserveAheadBlocks = 32;
// Room in the journal that any request may need besides the data it writes.
constexpr size_t requestRoom = 256 * 1024;

inline ext2_ino_t toExt(fuse_ino_t ino)
{
    return ino == FUSE_ROOT_ID ? EXT2_ROOT_INO : ext2_ino_t(ino);
}

inline fuse_ino_t toFuse(ext2_ino_t ino)
{
    return ino == EXT2_ROOT_INO ? FUSE_ROOT_ID : fuse_ino_t(ino);
}

// libext2fs's own codes as errno values; system errors pass through.
inline int toErrno(errcode_t error)
{
    if (error == 0)
        return 0;
    if (error > 0 && error < 256)
        return int(error);
    switch (error) {
    case EXT2_ET_BLOCK_ALLOC_FAIL:
    case EXT2_ET_INODE_ALLOC_FAIL:
    case EXT2_ET_DIR_NO_SPACE:
    case EXT2_ET_EA_NO_SPACE:
    case EXT2_ET_DIR_NO_SPACE_FOR_CSUM:
        return ENOSPC;
    case EXT2_ET_NO_MEMORY:
        return ENOMEM;
    case EXT2_ET_FILE_NOT_FOUND:
        return ENOENT;
    case EXT2_ET_DIR_EXISTS:
        return EEXIST;
    case EXT2_ET_EA_KEY_NOT_FOUND:
        return ENODATA;
    case EXT2_ET_FILE_TOO_BIG:
    case EXT2_ET_EXTENT_NOT_SUPPORTED:
        return EFBIG;
    case EXT2_ET_RO_FILSYS:
        return EROFS;
    case EXT2_ET_INVALID_ARGUMENT:
        return EINVAL;
    default:
        return EIO;
    }
}

inline int fileTypeOf(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG: return EXT2_FT_REG_FILE;
    case S_IFDIR: return EXT2_FT_DIR;
    case S_IFCHR: return EXT2_FT_CHRDEV;
    case S_IFBLK: return EXT2_FT_BLKDEV;
    case S_IFIFO: return EXT2_FT_FIFO;
    case S_IFSOCK: return EXT2_FT_SOCK;
    case S_IFLNK: return EXT2_FT_SYMLINK;
    default: return EXT2_FT_UNKNOWN;
    }
}

inline mode_t modeOfFileType(int type)
{
    switch (type) {
    case EXT2_FT_REG_FILE: return S_IFREG;
    case EXT2_FT_DIR: return S_IFDIR;
    case EXT2_FT_CHRDEV: return S_IFCHR;
    case EXT2_FT_BLKDEV: return S_IFBLK;
    case EXT2_FT_FIFO: return S_IFIFO;
    case EXT2_FT_SOCK: return S_IFSOCK;
    case EXT2_FT_SYMLINK: return S_IFLNK;
    default: return 0;
    }
}

inline timespec now()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

// Seconds in the field, nanoseconds and two more bits of seconds in its extra field.
inline void encodeTime(const timespec &ts, __u32 &field, __u32 *extra)
{
    field = __u32(ts.tv_sec);
    if (extra)
        *extra = (__u32(ts.tv_nsec) << EXT4_EPOCH_BITS) |
                 (__u32((int64_t(ts.tv_sec) - int64_t(int32_t(ts.tv_sec))) >> 32) & EXT4_EPOCH_MASK);
}

inline timespec decodeTime(__u32 field, const __u32 *extra)
{
    timespec ts{int64_t(int32_t(field)), 0};
    if (extra) {
        ts.tv_sec += int64_t(*extra & EXT4_EPOCH_MASK) << 32;
        ts.tv_nsec = long(*extra >> EXT4_EPOCH_BITS);
    }
    return ts;
}

inline bool hasExtraTimes(ext2_filsys fs, const ext2_inode_large &inode)
{
    return EXT2_INODE_SIZE(fs->super) > EXT2_GOOD_OLD_INODE_SIZE && inode.i_extra_isize >= 24;
}

inline void stampTimes(ext2_filsys fs, ext2_inode_large &inode, bool access, bool modify, bool change,
                const timespec &when = now())
{
    const bool extra = hasExtraTimes(fs, inode);
    if (access)
        encodeTime(when, inode.i_atime, extra ? &inode.i_atime_extra : nullptr);
    if (modify)
        encodeTime(when, inode.i_mtime, extra ? &inode.i_mtime_extra : nullptr);
    if (change)
        encodeTime(when, inode.i_ctime, extra ? &inode.i_ctime_extra : nullptr);
}

inline void setOwner(ext2_inode_large &inode, uid_t uid, gid_t gid)
{
    inode.i_uid = __u16(uid);
    inode.osd2.linux2.l_i_uid_high = __u16(uid >> 16);
    inode.i_gid = __u16(gid);
    inode.osd2.linux2.l_i_gid_high = __u16(gid >> 16);
}

inline ext2_inode *small(ext2_inode_large &inode)
{
    return reinterpret_cast<ext2_inode *>(&inode);
}

inline std::string unescapeMountField(const std::string &field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

inline bool isMounted(const std::string &path)
{
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line)) {
        size_t start = 0;
        for (int field = 0; field < 4 && start != std::string::npos; ++field)
            start = line.find(' ', start) + 1;
        const size_t end = line.find(' ', start);
        if (start != 0 && end != std::string::npos && unescapeMountField(line.substr(start, end - start)) == path)
            return true;
    }
    return false;
}

inline Ext4Volume *volumeOf(fuse_req_t req)
{
    return static_cast<Ext4Volume *>(fuse_req_userdata(req));
}

// A file of the file system, open while a request works on it; closing it writes what it buffered.
struct OpenFile
{
    ext2_file_t file = nullptr;
    errcode_t open(ext2_filsys fs, ext2_ino_t ino, int flags) { return ext2fs_file_open2(fs, ino, nullptr, flags, &file); }
    errcode_t close()
    {
        const errcode_t error = file ? ext2fs_file_close(file) : 0;
        file = nullptr;
        return error;
    }
    ~OpenFile() { close(); }
};

// A file's extent tree, open while a request walks it.
struct Extents
{
    ext2_extent_handle_t handle = nullptr;
    errcode_t open(ext2_filsys fs, ext2_ino_t ino, ext2_inode_large &inode)
    {
        return ext2fs_extent_open2(fs, ino, small(inode), &handle);
    }
    ~Extents()
    {
        if (handle)
            ext2fs_extent_free(handle);
    }
    // Each leaf extent overlapping [first, end) in order, or every node's block with all.
    errcode_t forEach(const std::function<void(const ext2fs_extent &)> &visit, bool leavesOnly = true)
    {
        ext2fs_extent extent = {};
        errcode_t error = ext2fs_extent_get(handle, EXT2_EXTENT_ROOT, &extent);
        while (!error) {
            if (!(extent.e_flags & EXT2_EXTENT_FLAGS_SECOND_VISIT) &&
                (!leavesOnly || (extent.e_flags & EXT2_EXTENT_FLAGS_LEAF)))
                visit(extent);
            error = ext2fs_extent_get(handle, EXT2_EXTENT_NEXT, &extent);
        }
        return error == EXT2_ET_EXTENT_NO_NEXT || error == EXT2_ET_NO_CURRENT_NODE ? 0 : error;
    }
};

// The blocks the file system's own tables take: superblocks and group descriptors with their
// copies, and every group's bitmaps and inode table.
inline blk64_t tableBlocks(ext2_filsys fs)
{
    blk64_t blocks = fs->super->s_first_data_block;
    for (dgrp_t group = 0; group < fs->group_desc_count; ++group) {
        blk_t used = 0;
        ext2fs_super_and_bgd_loc2(fs, group, nullptr, nullptr, nullptr, &used);
        blocks += used + 2 + fs->inode_blocks_per_group;
    }
    return blocks;
}

inline void logMessage(int priority, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    vsyslog(priority, format, arguments);
    // Seen on a terminal while the daemon runs in the foreground; nowhere once it is detached.
    fputs("volumed: ", stderr);
    vfprintf(stderr, format, copy);
    fputc('\n', stderr);
    va_end(copy);
    va_end(arguments);
}

} // namespace Ext4Support
