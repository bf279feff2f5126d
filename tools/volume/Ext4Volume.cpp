#include "Ext4Volume.h"

#include "ImageChannel.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <syslog.h>
#include <linux/falloc.h>

namespace {

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

ext2_ino_t toExt(fuse_ino_t ino)
{
    return ino == FUSE_ROOT_ID ? EXT2_ROOT_INO : ext2_ino_t(ino);
}

fuse_ino_t toFuse(ext2_ino_t ino)
{
    return ino == EXT2_ROOT_INO ? FUSE_ROOT_ID : fuse_ino_t(ino);
}

// libext2fs's own codes as errno values; system errors pass through.
int toErrno(errcode_t error)
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

int fileTypeOf(mode_t mode)
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

mode_t modeOfFileType(int type)
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

timespec now()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

// Seconds in the field, nanoseconds and two more bits of seconds in its extra field.
void encodeTime(const timespec &ts, __u32 &field, __u32 *extra)
{
    field = __u32(ts.tv_sec);
    if (extra)
        *extra = (__u32(ts.tv_nsec) << EXT4_EPOCH_BITS) |
                 (__u32((int64_t(ts.tv_sec) - int64_t(int32_t(ts.tv_sec))) >> 32) & EXT4_EPOCH_MASK);
}

timespec decodeTime(__u32 field, const __u32 *extra)
{
    timespec ts{int64_t(int32_t(field)), 0};
    if (extra) {
        ts.tv_sec += int64_t(*extra & EXT4_EPOCH_MASK) << 32;
        ts.tv_nsec = long(*extra >> EXT4_EPOCH_BITS);
    }
    return ts;
}

bool hasExtraTimes(ext2_filsys fs, const ext2_inode_large &inode)
{
    return EXT2_INODE_SIZE(fs->super) > EXT2_GOOD_OLD_INODE_SIZE && inode.i_extra_isize >= 24;
}

void stampTimes(ext2_filsys fs, ext2_inode_large &inode, bool access, bool modify, bool change,
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

void setOwner(ext2_inode_large &inode, uid_t uid, gid_t gid)
{
    inode.i_uid = __u16(uid);
    inode.osd2.linux2.l_i_uid_high = __u16(uid >> 16);
    inode.i_gid = __u16(gid);
    inode.osd2.linux2.l_i_gid_high = __u16(gid >> 16);
}

ext2_inode *small(ext2_inode_large &inode)
{
    return reinterpret_cast<ext2_inode *>(&inode);
}

std::string unescapeMountField(const std::string &field)
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

bool isMounted(const std::string &path)
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

Ext4Volume *volumeOf(fuse_req_t req)
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

void logMessage(int priority, const char *format, ...)
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

} // namespace

// Every request runs under the daemon's lock; its changes are written back before its answer
// (by the reply helpers), and a checkpoint follows when the journal has grown.
struct Ext4Volume::Request
{
    template<typename Call>
    static void run(fuse_req_t req, Call call)
    {
        Ext4Volume *volume = volumeOf(req);
        std::lock_guard guard(volume->m_lock);
        if (!volume->m_fs) {
            fuse_reply_err(req, EIO);
            return;
        }
        call(*volume);
        volume->settle();
        if (volume->m_image.wantsCheckpoint())
            volume->checkpoint();
    }

    static const fuse_lowlevel_ops operations;
};

std::string Ext4Volume::escapedOption(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        if (c == ',' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

const fuse_lowlevel_ops Ext4Volume::Request::operations = [] {
    fuse_lowlevel_ops o = {};
    o.lookup = [](fuse_req_t req, fuse_ino_t parent, const char *name) {
        run(req, [&](Ext4Volume &v) { v.lookup(req, parent, name); });
    };
    o.getattr = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info *) {
        run(req, [&](Ext4Volume &v) { v.getattr(req, ino); });
    };
    o.setattr = [](fuse_req_t req, fuse_ino_t ino, struct stat *attr, int toSet, fuse_file_info *) {
        run(req, [&](Ext4Volume &v) { v.setattr(req, ino, attr, toSet); });
    };
    o.readlink = [](fuse_req_t req, fuse_ino_t ino) { run(req, [&](Ext4Volume &v) { v.readlink(req, ino); }); };
    o.mknod = [](fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode, dev_t rdev) {
        run(req, [&](Ext4Volume &v) { v.mknod(req, parent, name, mode, rdev, nullptr); });
    };
    o.create = [](fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode, fuse_file_info *fi) {
        run(req, [&](Ext4Volume &v) { v.mknod(req, parent, name, mode, 0, fi); });
    };
    o.mkdir = [](fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode) {
        run(req, [&](Ext4Volume &v) { v.mkdir(req, parent, name, mode); });
    };
    o.unlink = [](fuse_req_t req, fuse_ino_t parent, const char *name) {
        run(req, [&](Ext4Volume &v) { v.removeName(req, parent, name, false); });
    };
    o.rmdir = [](fuse_req_t req, fuse_ino_t parent, const char *name) {
        run(req, [&](Ext4Volume &v) { v.removeName(req, parent, name, true); });
    };
    o.symlink = [](fuse_req_t req, const char *target, fuse_ino_t parent, const char *name) {
        run(req, [&](Ext4Volume &v) { v.symlink(req, target, parent, name); });
    };
    o.rename = [](fuse_req_t req, fuse_ino_t parent, const char *name, fuse_ino_t newParent, const char *newName,
                  unsigned int flags) {
        run(req, [&](Ext4Volume &v) { v.rename(req, parent, name, newParent, newName, flags); });
    };
    o.link = [](fuse_req_t req, fuse_ino_t ino, fuse_ino_t newParent, const char *newName) {
        run(req, [&](Ext4Volume &v) { v.link(req, ino, newParent, newName); });
    };
    o.open = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi) {
        run(req, [&](Ext4Volume &v) { v.open(req, ino, fi); });
    };
    o.read = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info *) {
        run(req, [&](Ext4Volume &v) { v.read(req, ino, size, offset); });
    };
    o.write = [](fuse_req_t req, fuse_ino_t ino, const char *buffer, size_t size, off_t offset, fuse_file_info *) {
        run(req, [&](Ext4Volume &v) { v.write(req, ino, buffer, size, offset); });
    };
    o.flush = [](fuse_req_t req, fuse_ino_t, fuse_file_info *) { run(req, [&](Ext4Volume &v) { v.flush(req); }); };
    o.release = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info *) {
        run(req, [&](Ext4Volume &v) { v.release(req, ino); });
    };
    o.fsync = [](fuse_req_t req, fuse_ino_t, int, fuse_file_info *) {
        run(req, [&](Ext4Volume &v) { v.fsync(req); });
    };
    o.fsyncdir = o.fsync;
    o.opendir = [](fuse_req_t req, fuse_ino_t, fuse_file_info *fi) { fuse_reply_open(req, fi); };
    o.releasedir = [](fuse_req_t req, fuse_ino_t, fuse_file_info *) { fuse_reply_err(req, 0); };
    o.readdir = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info *) {
        run(req, [&](Ext4Volume &v) { v.readdir(req, ino, size, offset); });
    };
    o.statfs = [](fuse_req_t req, fuse_ino_t) { run(req, [&](Ext4Volume &v) { v.statfs(req); }); };
    o.setxattr = [](fuse_req_t req, fuse_ino_t ino, const char *name, const char *value, size_t size, int flags) {
        run(req, [&](Ext4Volume &v) { v.setxattr(req, ino, name, value, size, flags); });
    };
    o.getxattr = [](fuse_req_t req, fuse_ino_t ino, const char *name, size_t size) {
        run(req, [&](Ext4Volume &v) { v.getxattr(req, ino, name, size); });
    };
    o.listxattr = [](fuse_req_t req, fuse_ino_t ino, size_t size) {
        run(req, [&](Ext4Volume &v) { v.listxattr(req, ino, size); });
    };
    o.removexattr = [](fuse_req_t req, fuse_ino_t ino, const char *name) {
        run(req, [&](Ext4Volume &v) { v.removexattr(req, ino, name); });
    };
    o.fallocate = [](fuse_req_t req, fuse_ino_t ino, int mode, off_t offset, off_t length, fuse_file_info *) {
        run(req, [&](Ext4Volume &v) { v.fallocate(req, ino, mode, offset, length); });
    };
    return o;
}();

Ext4Volume::Ext4Volume(CipherFile &image, std::mutex &lock)
    : m_image(image)
    , m_lock(lock)
{
}

Ext4Volume::~Ext4Volume()
{
    if (m_thread.joinable())
        m_thread.join();
    m_image.setPlacement(nullptr);
}

// ---- serving ----

int Ext4Volume::mount(const std::string &mountPoint, const std::string &sourceName)
{
    if (m_fs)
        return -EBUSY;
    if (m_thread.joinable())
        m_thread.join();
    ext2_filsys fs = nullptr;
    errcode_t error = ext2fs_open2("image", nullptr, EXT2_FLAG_RW | EXT2_FLAG_64BITS, 0, 0,
                                   ImageChannel::manager(&m_image), &fs);
    if (error)
        return -EIO;
    // A file system that was not closed cleanly is checked and repaired before it is served.
    if (!(fs->super->s_state & EXT2_VALID_FS) || (fs->super->s_state & EXT2_ERROR_FS)) {
        ext2fs_close_free(&fs);
        return -EUCLEAN;
    }
    error = ext2fs_read_bitmaps(fs);
    if (error) {
        ext2fs_close_free(&fs);
        return -EIO;
    }
    // Every block read was authenticated by its decryption already: checking the metadata
    // checksums again on each read (a directory scan checks each of its blocks) only costs time.
    // They are still written, and e2fsck checks them.
    fs->flags |= EXT2_FLAG_IGNORE_CSUM_ERRORS;
    fs->priv_data = this;
    ext2fs_set_alloc_block_callback(
        fs, [](ext2_filsys f, blk64_t goal, blk64_t *ret) {
            return static_cast<Ext4Volume *>(f->priv_data)->allocateBlock(goal, ret);
        },
        nullptr);
    ext2fs_set_new_range_callback(
        fs, [](ext2_filsys f, int flags, blk64_t goal, blk64_t length, blk64_t *first, blk64_t *count) {
            return static_cast<Ext4Volume *>(f->priv_data)->allocateRange(flags, goal, length, first, count);
        },
        nullptr);
    ext2fs_set_block_alloc_stats_callback(
        fs, [](ext2_filsys f, blk64_t block, int inUse) {
            static_cast<Ext4Volume *>(f->priv_data)->blocksChanged(block, 1, inUse < 0);
        },
        nullptr);
    // Only the groups whose allocation changed: writing every bitmap for every request would
    // cost a large volume dearly.
    fs->write_bitmaps = [](ext2_filsys f) {
        return static_cast<Ext4Volume *>(f->priv_data)->writeChangedBitmaps(false);
    };
    m_changedBlockBitmaps.assign(fs->group_desc_count, false);
    m_changedInodeBitmaps.assign(fs->group_desc_count, false);
    m_fresh.clear();
    m_quarantine.clear();
    m_freedSinceSync.clear();
    m_reservedAhead.clear();
    m_reservedTables.clear();
    m_names.clear();
    m_writeBackError = 0;
    m_closeError = 0;
    m_fs = fs;
    m_image.setPlacement([this](uint64_t block) { return placementOf(block); });

    // The superblock and the group descriptors are rewritten for good: their room on the host disk
    // is set aside now (a group's bitmaps when something is first allocated in it).
    m_reservedGroups.assign(fs->group_desc_count, false);
    int failed = reserveBlocks(0, 1 + fs->desc_blocks);
    // In use until it is closed: a crash leaves it marked for a check.
    fs->super->s_state &= __u16(~EXT2_VALID_FS);
    fs->super->s_mnt_count++;
    fs->super->s_mtime = __u32(time(nullptr));
    ext2fs_mark_super_dirty(fs);
    fs->flags |= EXT2_FLAG_MASTER_SB_ONLY;
    m_changed = true;
    if (!failed)
        failed = checkpoint();
    if (failed) {
        m_image.setPlacement(nullptr);
        ext2fs_free(m_fs);
        m_fs = nullptr;
        return -failed;
    }

    const std::string options = "default_permissions,fsname=" + escapedOption(sourceName) + ",subtype=hollowkeep";
    char program[] = "volumed", dashO[] = "-o";
    std::vector<char> optionText(options.begin(), options.end());
    optionText.push_back('\0');
    char *argv[] = {program, dashO, optionText.data(), nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    fuse_session *session = fuse_session_new(&args, &Request::operations, sizeof Request::operations, this);
    fuse_opt_free_args(&args);
    if (!session || fuse_session_mount(session, mountPoint.c_str()) != 0) {
        if (session)
            fuse_session_destroy(session);
        close();
        return -EIO;
    }
    m_session = session;
    m_mountPoint = mountPoint;
    m_unmounted = false;
    m_lastSync = m_lastCheckpoint = std::chrono::steady_clock::now();
    m_thread = std::thread(&Ext4Volume::serve, this, session);
    return 0;
}

void Ext4Volume::acceptWakeSignal()
{
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, SIGUSR1);
    pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
}

void Ext4Volume::serve(fuse_session *session)
{
    acceptWakeSignal();
    fuse_session_loop(session);
    std::lock_guard guard(m_lock);
    m_unmounted = true;
    fuse_session_unmount(session);
    m_closeError = close();
    fuse_session_destroy(session);
    m_session = nullptr;
    m_closed.notify_all();
}

int Ext4Volume::close()
{
    if (!m_fs)
        return 0;
    for (const ext2_ino_t orphan : m_orphans)
        freeInode(orphan);
    m_orphans.clear();
    m_openCount.clear();
    m_fs->super->s_state |= EXT2_VALID_FS;
    ext2fs_mark_super_dirty(m_fs);
    // The backup superblocks and every bitmap too, once, at the end.
    m_fs->flags &= ~EXT2_FLAG_MASTER_SB_ONLY;
    int error = toErrno(writeChangedBitmaps(true));
    m_changed = true;
    if (!error)
        error = checkpoint();
    if (error)
        logMessage(LOG_ERR, "%s: the volume could not be written back completely: %s; the journal keeps what "
                            "was committed for the next unlock",
                   m_mountPoint.c_str(), strerror(error));
    m_image.setPlacement(nullptr);
    ext2fs_free(m_fs);
    m_fs = nullptr;
    m_mountPoint.clear();
    return error;
}

bool Ext4Volume::closing() const
{
    return m_fs && (m_unmounted || !isMounted(m_mountPoint));
}

void Ext4Volume::waitClosed(std::unique_lock<std::mutex> &guard)
{
    m_closed.wait(guard, [this] { return m_fs == nullptr; });
}

void Ext4Volume::stop()
{
    if (!m_session)
        return;
    fuse_session_exit(m_session);
    pthread_kill(m_thread.native_handle(), SIGUSR1);
}

// ---- writing back ----

int Ext4Volume::settle()
{
    if (!m_fs || (!m_changed && !(m_fs->flags & (EXT2_FLAG_DIRTY | EXT2_FLAG_BB_DIRTY | EXT2_FLAG_IB_DIRTY)) &&
                  !m_image.hasChanges()))
        return 0;
    // Bitmaps, group descriptors and the superblock join the request's own changes.
    const errcode_t flushed = ext2fs_flush2(m_fs, EXT2_FLAG_FLUSH_NO_SYNC);
    const int error = flushed ? toErrno(flushed) : -m_image.commit();
    m_fresh.clear();
    m_changed = false;
    if (error)
        noteWriteBackFailure("writing a transaction", error);
    return error;
}

int Ext4Volume::syncDurable()
{
    int error = settle();
    if (!error)
        error = -m_image.sync();
    m_lastSync = std::chrono::steady_clock::now();
    if (error) {
        noteWriteBackFailure("making the journal durable", error);
        return error;
    }
    m_writeBackError = 0;
    giveBackFreedBlocks();
    return 0;
}

int Ext4Volume::checkpoint()
{
    int error = settle();
    if (!error)
        error = -m_image.checkpoint();
    m_lastSync = m_lastCheckpoint = std::chrono::steady_clock::now();
    if (error) {
        noteWriteBackFailure("writing the journal in place", error);
        return error;
    }
    m_writeBackError = 0;
    // Blocks freed before the checkpoint may be used again, and room set aside for blocks that
    // were never allocated goes back with them.
    for (const auto &[first, end] : m_reservedAhead.runs())
        m_freedSinceSync.insert(first, end - first);
    m_reservedAhead.clear();
    giveBackFreedBlocks();
    m_quarantine.clear();
    return 0;
}

void Ext4Volume::maintain()
{
    if (!m_fs)
        return;
    settle();
    const auto time = std::chrono::steady_clock::now();
    if (m_image.holdsJournal() && time - m_lastCheckpoint >= checkpointInterval)
        checkpoint();
    else if ((!m_freedSinceSync.empty() && time - m_lastSync >= giveBackDelay) ||
             (m_image.unsynced() && time - m_lastSync >= syncInterval))
        syncDurable();
}

void Ext4Volume::noteWriteBackFailure(const char *what, int error)
{
    if (m_writeBackError == 0)
        logMessage(LOG_ERR, "%s: %s failed: %s", m_mountPoint.c_str(), what, strerror(error));
    m_writeBackError = error;
}

int Ext4Volume::damaged(const char *operation, int error)
{
    logMessage(LOG_ERR, "%s: %s failed half-way (%s); the volume is checked at its next unlock",
               m_mountPoint.c_str(), operation, strerror(error));
    m_fs->super->s_state |= EXT2_ERROR_FS;
    ext2fs_mark_super_dirty(m_fs);
    m_changed = true;
    return error;
}

int Ext4Volume::makeRoom(size_t bytes)
{
    m_changed = true;
    // Blocks freed since the last checkpoint are not reused before it: when they are what is
    // left, the checkpoint comes now.
    if (!m_quarantine.empty()) {
        const blk64_t free = ext2fs_free_blocks_count(m_fs->super);
        const blk64_t wanted = bytes / m_fs->blocksize + 16;
        if (free < m_quarantine.count() + wanted)
            checkpoint();
    }
    if (m_image.reserveJournal(bytes) == 0)
        return 0;
    if (checkpoint() == 0 && m_image.reserveJournal(bytes) == 0)
        return 0;
    return ENOSPC;
}

CipherFile::Placement Ext4Volume::placementOf(uint64_t cipherBlock)
{
    const uint64_t bytes = cipherBlock * ContentCipher::plainBlock;
    const blk64_t first = bytes / m_fs->blocksize;
    const blk64_t last = (bytes + ContentCipher::plainBlock - 1) / m_fs->blocksize;
    bool free = true, fresh = true;
    for (blk64_t block = first; block <= last; ++block) {
        if (block >= ext2fs_blocks_count(m_fs->super))
            return CipherFile::Placement::Journal;
        free = free && !ext2fs_test_block_bitmap2(m_fs->block_map, block);
        fresh = fresh && m_fresh.contains(block);
    }
    return free ? CipherFile::Placement::Drop
                : fresh ? CipherFile::Placement::InPlace : CipherFile::Placement::Journal;
}

// The ciphertext of blocks whose freeing is durable becomes holes. They stay out of use until the
// next checkpoint, so no transaction of this round relies on what they held.
void Ext4Volume::giveBackFreedBlocks()
{
    for (const auto &[first, end] : m_freedSinceSync.runs()) {
        blk64_t runStart = first;
        for (blk64_t block = first; block <= end; ++block) {
            if (block == end || ext2fs_test_block_bitmap2(m_fs->block_map, block)) {
                if (block > runStart)
                    io_channel_discard(m_fs->io, runStart, block - runStart);
                runStart = block + 1;
            }
        }
    }
    m_freedSinceSync.clear();
}

// ---- allocation ----

blk64_t Ext4Volume::lastUsableBlock() const
{
    return ext2fs_blocks_count(m_fs->super) - 2;
}

int Ext4Volume::findFree(blk64_t from, blk64_t last, blk64_t &found)
{
    while (from <= last) {
        blk64_t block = 0;
        if (ext2fs_find_first_zero_block_bitmap2(m_fs->block_map, from, last, &block) != 0)
            return ENOENT;
        if (!m_quarantine.contains(block)) {
            found = block;
            return 0;
        }
        from = m_quarantine.endOfRun(block);
    }
    return ENOENT;
}

int Ext4Volume::reserveBlocks(blk64_t first, blk64_t count)
{
    const int error = m_image.reserve(off_t(first * m_fs->blocksize), off_t(count * m_fs->blocksize));
    return error ? (error == -ENOSPC ? ENOSPC : -error) : 0;
}

// The bitmaps of groups in which something is allocated get written; their room comes first.
int Ext4Volume::reserveGroups(blk64_t firstBlock, blk64_t count)
{
    const dgrp_t last = ext2fs_group_of_blk2(m_fs, firstBlock + count - 1);
    for (dgrp_t group = ext2fs_group_of_blk2(m_fs, firstBlock); group <= last; ++group) {
        if (m_reservedGroups[group])
            continue;
        if (const int error = reserveBlocks(ext2fs_block_bitmap_loc(m_fs, group), 1))
            return error;
        if (const int error = reserveBlocks(ext2fs_inode_bitmap_loc(m_fs, group), 1))
            return error;
        m_reservedGroups[group] = true;
    }
    return 0;
}

errcode_t Ext4Volume::allocateBlock(blk64_t goal, blk64_t *ret)
{
    const blk64_t firstData = m_fs->super->s_first_data_block, last = lastUsableBlock();
    if (goal < firstData || goal > last)
        goal = firstData;
    blk64_t block = 0;
    if (findFree(goal, last, block) != 0 && (goal == firstData || findFree(firstData, goal - 1, block) != 0))
        return EXT2_ET_BLOCK_ALLOC_FAIL;
    if (reserveGroups(block, 1) != 0)
        return EXT2_ET_BLOCK_ALLOC_FAIL;
    // Room for the next blocks too, which a file growing block by block will want: one request to
    // the host disk instead of one for each block. What is not used goes back at the checkpoint.
    if (m_reservedAhead.contains(block)) {
        m_reservedAhead.erase(block, 1);
    } else {
        const blk64_t ahead = std::min<blk64_t>(reserveAheadBlocks, ext2fs_blocks_count(m_fs->super) - block);
        if (reserveBlocks(block, ahead) == 0)
            m_reservedAhead.insert(block + 1, ahead - 1);
        else if (reserveBlocks(block, 1) != 0)
            return EXT2_ET_BLOCK_ALLOC_FAIL;
    }
    m_fresh.insert(block, 1);
    *ret = block;
    return 0;
}

errcode_t Ext4Volume::allocateRange(int flags, blk64_t goal, blk64_t length, blk64_t *first, blk64_t *count)
{
    const blk64_t firstData = m_fs->super->s_first_data_block, last = lastUsableBlock();
    const bool fixed = flags & EXT2_NEWRANGE_FIXED_GOAL;
    if (goal < firstData || goal > last) {
        if (fixed)
            return EXT2_ET_BLOCK_ALLOC_FAIL;
        goal = firstData;
    }
    blk64_t from = goal;
    bool wrapped = false;
    for (;;) {
        blk64_t start = 0;
        if (from > last || findFree(from, last, start) != 0) {
            if (fixed || wrapped || goal == firstData)
                return EXT2_ET_BLOCK_ALLOC_FAIL;
            wrapped = true;
            from = firstData;
            continue;
        }
        if (wrapped && start >= goal)
            return EXT2_ET_BLOCK_ALLOC_FAIL;
        if (fixed && start != goal)
            return EXT2_ET_BLOCK_ALLOC_FAIL;
        blk64_t end = 0;
        const blk64_t limit = std::min(start + length - 1, last);
        if (ext2fs_find_first_set_block_bitmap2(m_fs->block_map, start, limit, &end) != 0)
            end = limit + 1;
        end = std::min<blk64_t>(end, m_quarantine.firstFrom(start));
        if ((flags & EXT2_NEWRANGE_MIN_LENGTH) && end - start < length) {
            if (fixed)
                return EXT2_ET_BLOCK_ALLOC_FAIL;
            from = end;
            continue;
        }
        if (reserveGroups(start, end - start) != 0 || reserveBlocks(start, end - start) != 0)
            return EXT2_ET_BLOCK_ALLOC_FAIL;
        m_reservedAhead.erase(start, end - start);
        m_fresh.insert(start, end - start);
        blocksChanged(start, end - start, false);
        *first = start;
        *count = end - start;
        return 0;
    }
}

void Ext4Volume::blocksChanged(blk64_t first, blk64_t count, bool freed)
{
    if (count == 0)
        return;
    m_changed = true;
    const dgrp_t last = ext2fs_group_of_blk2(m_fs, first + count - 1);
    for (dgrp_t group = ext2fs_group_of_blk2(m_fs, first); group <= last; ++group)
        m_changedBlockBitmaps[group] = true;
    if (freed) {
        m_quarantine.insert(first, count);
        m_freedSinceSync.insert(first, count);
    }
}

void Ext4Volume::inodeChanged(ext2_ino_t ino)
{
    m_changed = true;
    m_changedInodeBitmaps[(ino - 1) / m_fs->super->s_inodes_per_group] = true;
}

// The bitmaps of the groups whose allocation changed, in the on-disk layout, with their checksums.
errcode_t Ext4Volume::writeChangedBitmaps(bool all)
{
    ext2_filsys fs = m_fs;
    const bool checksums = ext2fs_has_group_desc_csum(fs);
    const int blockBytes = int(EXT2_CLUSTERS_PER_GROUP(fs->super) / 8);
    const int inodeBytes = int((EXT2_INODES_PER_GROUP(fs->super) + 7) / 8);
    std::vector<char> buffer(fs->blocksize);
    for (dgrp_t group = 0; group < fs->group_desc_count; ++group) {
        if ((all || m_changedBlockBitmaps[group]) &&
            !(checksums && ext2fs_bg_flags_test(fs, group, EXT2_BG_BLOCK_UNINIT))) {
            memset(buffer.data(), 0xff, buffer.size());
            const blk64_t start = EXT2FS_B2C(fs, fs->super->s_first_data_block) +
                                  blk64_t(group) * EXT2_CLUSTERS_PER_GROUP(fs->super);
            if (const errcode_t error =
                    ext2fs_get_block_bitmap_range2(fs->block_map, start, unsigned(blockBytes) * 8, buffer.data()))
                return error;
            if (group == fs->group_desc_count - 1) {
                // The bits past the end of the file system are set.
                const unsigned used = unsigned(EXT2FS_NUM_B2C(
                    fs, (ext2fs_blocks_count(fs->super) - fs->super->s_first_data_block) %
                            EXT2_BLOCKS_PER_GROUP(fs->super)));
                for (unsigned bit = used; used && bit < fs->blocksize * 8; ++bit)
                    ext2fs_set_bit(bit, buffer.data());
            }
            if (const errcode_t error = ext2fs_block_bitmap_csum_set(fs, group, buffer.data(), blockBytes))
                return error;
            ext2fs_group_desc_csum_set(fs, group);
            fs->flags |= EXT2_FLAG_DIRTY;
            const blk64_t location = ext2fs_block_bitmap_loc(fs, group);
            if (location && location < ext2fs_blocks_count(fs->super) &&
                io_channel_write_blk64(fs->io, location, 1, buffer.data()))
                return EXT2_ET_BLOCK_BITMAP_WRITE;
        }
        if ((all || m_changedInodeBitmaps[group]) &&
            !(checksums && ext2fs_bg_flags_test(fs, group, EXT2_BG_INODE_UNINIT))) {
            memset(buffer.data(), 0xff, buffer.size());
            const ext2_ino_t start = 1 + group * EXT2_INODES_PER_GROUP(fs->super);
            if (const errcode_t error =
                    ext2fs_get_inode_bitmap_range2(fs->inode_map, start, unsigned(inodeBytes) * 8, buffer.data()))
                return error;
            if (const errcode_t error = ext2fs_inode_bitmap_csum_set(fs, group, buffer.data(), inodeBytes))
                return error;
            ext2fs_group_desc_csum_set(fs, group);
            fs->flags |= EXT2_FLAG_DIRTY;
            const blk64_t location = ext2fs_inode_bitmap_loc(fs, group);
            if (location && location < ext2fs_blocks_count(fs->super) &&
                io_channel_write_blk64(fs->io, location, 1, buffer.data()))
                return EXT2_ET_INODE_BITMAP_WRITE;
        }
    }
    std::fill(m_changedBlockBitmaps.begin(), m_changedBlockBitmaps.end(), false);
    std::fill(m_changedInodeBitmaps.begin(), m_changedInodeBitmaps.end(), false);
    fs->flags &= ~(EXT2_FLAG_BB_DIRTY | EXT2_FLAG_IB_DIRTY);
    return 0;
}

// ---- inodes and replies ----

int Ext4Volume::readInode(ext2_ino_t ino, ext2_inode_large &inode)
{
    memset(&inode, 0, sizeof inode);
    if (ino < EXT2_ROOT_INO || ino > m_fs->super->s_inodes_count)
        return ENOENT;
    return toErrno(ext2fs_read_inode_full(m_fs, ino, small(inode), sizeof inode));
}

int Ext4Volume::writeInode(ext2_ino_t ino, ext2_inode_large &inode)
{
    m_changed = true;
    return toErrno(ext2fs_write_inode_full(m_fs, ino, small(inode), sizeof inode));
}

void Ext4Volume::fillStat(ext2_ino_t ino, const ext2_inode_large &inode, struct stat &st) const
{
    memset(&st, 0, sizeof st);
    st.st_ino = toFuse(ino);
    st.st_mode = inode.i_mode;
    st.st_nlink = inode.i_links_count;
    st.st_uid = inode_uid(inode);
    st.st_gid = inode_gid(inode);
    st.st_size = off_t(EXT2_I_SIZE(&inode));
    st.st_blksize = m_fs->blocksize;
    st.st_blocks = blkcnt_t(ext2fs_get_stat_i_blocks(m_fs, small(const_cast<ext2_inode_large &>(inode))));
    const bool extra = hasExtraTimes(m_fs, inode);
    st.st_atim = decodeTime(inode.i_atime, extra ? &inode.i_atime_extra : nullptr);
    st.st_mtim = decodeTime(inode.i_mtime, extra ? &inode.i_mtime_extra : nullptr);
    st.st_ctim = decodeTime(inode.i_ctime, extra ? &inode.i_ctime_extra : nullptr);
    if (LINUX_S_ISCHR(inode.i_mode) || LINUX_S_ISBLK(inode.i_mode)) {
        if (inode.i_block[0])
            st.st_rdev = makedev((inode.i_block[0] >> 8) & 0xff, inode.i_block[0] & 0xff);
        else
            st.st_rdev = makedev((inode.i_block[1] & 0xfff00) >> 8,
                                 (inode.i_block[1] & 0xff) | ((inode.i_block[1] >> 12) & 0xfff00));
    }
}

void Ext4Volume::replyError(fuse_req_t req, int error)
{
    settle();
    fuse_reply_err(req, error);
}

void Ext4Volume::replyAttr(fuse_req_t req, ext2_ino_t ino, const ext2_inode_large &inode)
{
    struct stat st;
    fillStat(ino, inode, st);
    settle();
    fuse_reply_attr(req, &st, cacheSeconds);
}

// Answers a lookup or a new name; with a file handle, a create, which also opens the file.
int Ext4Volume::replyEntry(fuse_req_t req, ext2_ino_t ino, fuse_file_info *fi)
{
    ext2_inode_large inode;
    if (const int error = readInode(ino, inode))
        return error;
    fuse_entry_param entry = {};
    entry.ino = toFuse(ino);
    entry.generation = inode.i_generation;
    fillStat(ino, inode, entry.attr);
    entry.attr_timeout = cacheSeconds;
    entry.entry_timeout = cacheSeconds;
    settle();
    if (fi) {
        ++m_openCount[ino];
        fi->noflush = noFlushNeeded();
        fuse_reply_create(req, &entry, fi);
    } else {
        fuse_reply_entry(req, &entry);
    }
    return 0;
}

int Ext4Volume::lookupName(ext2_ino_t dir, const char *name, ext2_ino_t &ino)
{
    const size_t length = strlen(name);
    if (length > EXT2_NAME_LEN)
        return ENAMETOOLONG;
    const DirectoryNames::Names *names = m_names.of(m_fs, dir);
    if (!names)
        return toErrno(ext2fs_lookup(m_fs, dir, name, int(length), nullptr, &ino));
    const auto found = names->find(std::string(name, length));
    if (found == names->end())
        return ENOENT;
    ino = found->second;
    return 0;
}

void Ext4Volume::lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    ext2_ino_t ino = 0;
    int error = lookupName(toExt(parent), name, ino);
    if (!error)
        error = replyEntry(req, ino);
    if (error)
        replyError(req, error);
}

void Ext4Volume::getattr(fuse_req_t req, fuse_ino_t ino)
{
    ext2_inode_large inode;
    if (const int error = readInode(toExt(ino), inode))
        replyError(req, error);
    else
        replyAttr(req, toExt(ino), inode);
}

// ---- sizes and attributes ----

int Ext4Volume::setSize(ext2_ino_t ino, off_t size)
{
    if (size == 0) {
        // Emptied the way a delete frees a file: nothing to allocate, nothing that can fail half-way.
        ext2_inode_large inode;
        if (const int error = readInode(ino, inode))
            return error;
        if (const int error = releaseBlocks(ino, inode))
            return damaged("emptying a file", error);
        ext2fs_inode_size_set(m_fs, small(inode), 0);
        if (const int error = writeInode(ino, inode))
            return damaged("emptying a file", error);
        return 0;
    }
    OpenFile file;
    errcode_t error = file.open(m_fs, ino, EXT2_FILE_WRITE);
    if (error)
        return toErrno(error);
    m_changed = true;
    error = ext2fs_file_set_size2(file.file, ext2_off64_t(size));
    const errcode_t closed = file.close();
    if (error || closed)
        return damaged("changing the size of a file", toErrno(error ? error : closed));
    return 0;
}

void Ext4Volume::setattr(fuse_req_t req, fuse_ino_t fuseIno, struct stat *attr, int toSet)
{
    const ext2_ino_t ino = toExt(fuseIno);
    ext2_inode_large inode;
    int error = readInode(ino, inode);
    if (!error && (toSet & FUSE_SET_ATTR_SIZE)) {
        if (LINUX_S_ISDIR(inode.i_mode))
            error = EISDIR;
        else if (!(error = makeRoom(requestRoom)))
            error = setSize(ino, attr->st_size);
        if (!error) {
            error = readInode(ino, inode);
            stampTimes(m_fs, inode, false, true, true);
        }
    }
    if (error)
        return replyError(req, error);
    if (toSet & FUSE_SET_ATTR_MODE)
        inode.i_mode = __u16((inode.i_mode & LINUX_S_IFMT) | (attr->st_mode & 07777));
    if (toSet & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID))
        setOwner(inode, (toSet & FUSE_SET_ATTR_UID) ? attr->st_uid : inode_uid(inode),
                 (toSet & FUSE_SET_ATTR_GID) ? attr->st_gid : inode_gid(inode));
    if (toSet & FUSE_SET_ATTR_ATIME_NOW)
        stampTimes(m_fs, inode, true, false, false);
    else if (toSet & FUSE_SET_ATTR_ATIME)
        stampTimes(m_fs, inode, true, false, false, attr->st_atim);
    if (toSet & FUSE_SET_ATTR_MTIME_NOW)
        stampTimes(m_fs, inode, false, true, false);
    else if (toSet & FUSE_SET_ATTR_MTIME)
        stampTimes(m_fs, inode, false, true, false, attr->st_mtim);
    stampTimes(m_fs, inode, false, false, true);
    if ((error = writeInode(ino, inode)))
        return replyError(req, error);
    replyAttr(req, ino, inode);
}

void Ext4Volume::readlink(fuse_req_t req, fuse_ino_t fuseIno)
{
    const ext2_ino_t ino = toExt(fuseIno);
    ext2_inode_large inode;
    if (const int error = readInode(ino, inode))
        return replyError(req, error);
    if (!LINUX_S_ISLNK(inode.i_mode))
        return replyError(req, EINVAL);
    const size_t length = EXT2_I_SIZE(&inode);
    std::string target(length, '\0');
    if (ext2fs_is_fast_symlink(small(inode))) {
        memcpy(target.data(), inode.i_block, std::min(length, sizeof inode.i_block));
    } else {
        OpenFile file;
        unsigned int got = 0;
        errcode_t error = file.open(m_fs, ino, 0);
        if (!error)
            error = ext2fs_file_read(file.file, target.data(), unsigned(length), &got);
        if (error || got != length)
            return replyError(req, error ? toErrno(error) : EIO);
    }
    fuse_reply_readlink(req, target.c_str());
}

// ---- names ----

int Ext4Volume::withRoomIn(ext2_ino_t dir, const char *name, ext2_ino_t ino, const std::function<errcode_t()> &change)
{
    m_changed = true;
    errcode_t error = change();
    if (error == EXT2_ET_DIR_NO_SPACE) {
        error = ext2fs_expand_dir(m_fs, dir);
        if (!error)
            error = change();
    }
    if (error)
        m_names.forget(dir);
    else
        m_names.added(dir, name, ino);
    return toErrno(error);
}

int Ext4Volume::addLink(ext2_ino_t dir, const char *name, ext2_ino_t ino, int fileType)
{
    if (strlen(name) > EXT2_NAME_LEN)
        return ENAMETOOLONG;
    return withRoomIn(dir, name, ino, [&] { return ext2fs_link(m_fs, dir, name, ino, fileType); });
}

int Ext4Volume::unlinkName(ext2_ino_t dir, const char *name, ext2_ino_t ino)
{
    m_changed = true;
    const errcode_t error = ext2fs_unlink(m_fs, dir, name, ino, 0);
    if (error)
        m_names.forget(dir);
    else
        m_names.removed(dir, name);
    return toErrno(error);
}

int Ext4Volume::touchDirectory(ext2_ino_t dir)
{
    ext2_inode_large inode;
    if (const int error = readInode(dir, inode))
        return error;
    stampTimes(m_fs, inode, false, true, true);
    return writeInode(dir, inode);
}

// A free inode number near the parent, with the room its inode takes on the host disk set aside.
int Ext4Volume::newInode(ext2_ino_t parent, mode_t mode, ext2_ino_t &ino)
{
    if (const int error = toErrno(ext2fs_new_inode(m_fs, parent, int(mode), nullptr, &ino)))
        return error;
    const dgrp_t group = (ino - 1) / m_fs->super->s_inodes_per_group;
    const blk64_t block = ext2fs_inode_table_loc(m_fs, group) +
                          blk64_t((ino - 1) % m_fs->super->s_inodes_per_group) * EXT2_INODE_SIZE(m_fs->super) /
                              m_fs->blocksize;
    // Inode tables are never given back: once set aside, a block of one stays so.
    if (m_reservedTables.contains(block))
        return 0;
    int error = reserveGroups(ext2fs_group_first_block2(m_fs, group), 1);
    if (!error)
        error = reserveBlocks(block, 1);
    if (!error)
        m_reservedTables.insert(block, 1);
    return error;
}

int Ext4Volume::createNode(ext2_ino_t parent, const char *name, mode_t mode, dev_t rdev, const fuse_ctx *ctx,
                           ext2_ino_t &ino)
{
    ext2_ino_t existing = 0;
    int error = lookupName(parent, name, existing);
    if (!error)
        return EEXIST;
    if (error != ENOENT)
        return error;
    ext2_inode_large parentInode;
    if ((error = readInode(parent, parentInode)) || (error = newInode(parent, mode, ino)))
        return error;
    if ((error = addLink(parent, name, ino, fileTypeOf(mode))))
        return error;
    ext2fs_inode_alloc_stats2(m_fs, ino, +1, 0);
    inodeChanged(ino);

    ext2_inode_large inode = {};
    inode.i_mode = __u16(mode);
    inode.i_links_count = 1;
    const bool groupFromParent = parentInode.i_mode & S_ISGID;
    setOwner(inode, ctx->uid, groupFromParent ? inode_gid(parentInode) : ctx->gid);
    if (EXT2_INODE_SIZE(m_fs->super) > EXT2_GOOD_OLD_INODE_SIZE)
        inode.i_extra_isize = sizeof(ext2_inode_large) - EXT2_GOOD_OLD_INODE_SIZE;
    stampTimes(m_fs, inode, true, true, true);
    encodeTime(now(), inode.i_crtime, inode.i_extra_isize >= 24 ? &inode.i_crtime_extra : nullptr);
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        const unsigned major = major(rdev), minor = minor(rdev);
        if (major < 256 && minor < 256)
            inode.i_block[0] = major * 256 + minor;
        else
            inode.i_block[1] = (minor & 0xff) | (major << 8) | ((minor & ~0xffu) << 12);
    } else if (S_ISREG(mode) && ext2fs_has_feature_extents(m_fs->super)) {
        // An empty extent tree in the inode.
        Extents extents;
        extents.open(m_fs, ino, inode);
    }
    error = toErrno(ext2fs_write_new_inode(m_fs, ino, small(inode)));
    // ext2fs_write_new_inode keeps only the small part's fields; the rest (times in nanoseconds)
    // follows in a full write.
    if (!error)
        error = writeInode(ino, inode);
    if (!error)
        error = touchDirectory(parent);
    return error ? damaged("creating a file", error) : 0;
}

void Ext4Volume::mknod(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode, dev_t rdev,
                       fuse_file_info *fi)
{
    ext2_ino_t ino = 0;
    const fuse_ctx *ctx = fuse_req_ctx(req);
    int error = makeRoom(requestRoom);
    if (!error)
        error = createNode(toExt(parent), name, mode & ~ctx->umask, rdev, ctx, ino);
    if (!error)
        error = replyEntry(req, ino, fi);
    if (error)
        replyError(req, error);
}

void Ext4Volume::mkdir(fuse_req_t req, fuse_ino_t fuseParent, const char *name, mode_t mode)
{
    const ext2_ino_t parent = toExt(fuseParent);
    const fuse_ctx *ctx = fuse_req_ctx(req);
    ext2_ino_t ino = 0;
    int error = lookupName(parent, name, ino);
    if (!error)
        return replyError(req, EEXIST);
    ext2_inode_large parentInode;
    if (error == ENOENT)
        error = readInode(parent, parentInode);
    if (!error && parentInode.i_links_count >= linkMax)
        error = EMLINK;
    if (!error)
        error = makeRoom(requestRoom);
    if (!error)
        error = newInode(parent, LINUX_S_IFDIR, ino);
    if (!error)
        error = withRoomIn(parent, name, ino, [&] { return ext2fs_mkdir(m_fs, parent, ino, name); });
    if (!error) {
        inodeChanged(ino);
        const bool inherit = parentInode.i_mode & S_ISGID;
        error = completeEntry(req, parent, ino, [&](ext2_inode_large &inode) {
            inode.i_mode = __u16(LINUX_S_IFDIR | (mode & ~ctx->umask & 07777) | (inherit ? S_ISGID : 0));
            setOwner(inode, ctx->uid, inherit ? inode_gid(parentInode) : ctx->gid);
        });
    }
    if (error)
        replyError(req, error);
}

// The entry libext2fs just made, as this request's caller should own it, with fresh times and
// its directory's, answered to the kernel.
int Ext4Volume::completeEntry(fuse_req_t req, ext2_ino_t parent, ext2_ino_t ino,
                              const std::function<void(ext2_inode_large &)> &adjust)
{
    ext2_inode_large inode;
    int error = readInode(ino, inode);
    if (!error) {
        adjust(inode);
        stampTimes(m_fs, inode, true, true, true);
        error = writeInode(ino, inode);
    }
    if (!error)
        error = touchDirectory(parent);
    if (error)
        return damaged("completing a new entry", error);
    return replyEntry(req, ino);
}

// Frees every block of a file and empties its block map without allocating anything: how a
// delete frees a file, so that it works on a full volume and cannot stop half-way for want of
// room. The inode is changed in memory; the caller writes it.
int Ext4Volume::releaseBlocks(ext2_ino_t ino, ext2_inode_large &inode)
{
    if (!ext2fs_inode_has_valid_blocks2(m_fs, small(inode)))
        return 0;
    if (!(inode.i_flags & EXT4_EXTENTS_FL))
        return toErrno(ext2fs_punch(m_fs, ino, small(inode), nullptr, 0, ~0ULL));
    std::vector<std::pair<blk64_t, blk64_t>> runs;
    {
        Extents extents;
        errcode_t error = extents.open(m_fs, ino, inode);
        if (!error)
            error = extents.forEach(
                [&](const ext2fs_extent &extent) {
                    // A leaf maps its blocks; an index entry names the block of the node below.
                    if (extent.e_flags & EXT2_EXTENT_FLAGS_LEAF)
                        runs.emplace_back(extent.e_pblk, extent.e_len);
                    else
                        runs.emplace_back(extent.e_pblk, 1);
                },
                false);
        if (error)
            return toErrno(error);
    }
    const blk64_t end = ext2fs_blocks_count(m_fs->super);
    for (const auto &[first, count] : runs) {
        if (first < m_fs->super->s_first_data_block || count > end || first > end - count)
            return EIO;
    }
    for (const auto &[first, count] : runs) {
        ext2fs_block_alloc_stats_range(m_fs, first, blk_t(count), -1);
        blocksChanged(first, count, true);
    }
    memset(inode.i_block, 0, sizeof inode.i_block);
    Extents empty; // writes an empty tree into the inode
    empty.open(m_fs, ino, inode);
    ext2fs_iblk_set(m_fs, small(inode), 0);
    return 0;
}

// Takes an orphan out of the superblock's list of files to free after a crash.
void Ext4Volume::forgetOrphan(ext2_ino_t ino, __u32 next)
{
    ext2_super_block *super = m_fs->super;
    if (super->s_last_orphan == ino) {
        super->s_last_orphan = next;
        ext2fs_mark_super_dirty(m_fs);
        return;
    }
    ext2_ino_t at = super->s_last_orphan;
    for (int steps = 0; at && steps < 65536; ++steps) {
        ext2_inode_large inode;
        if (readInode(at, inode))
            return;
        if (inode.i_dtime == ino) {
            inode.i_dtime = next;
            writeInode(at, inode);
            return;
        }
        at = inode.i_dtime;
    }
}

int Ext4Volume::freeInode(ext2_ino_t ino)
{
    ext2_inode_large inode;
    if (const int error = readInode(ino, inode))
        return error;
    if (m_orphans.erase(ino))
        forgetOrphan(ino, inode.i_dtime);
    if (const errcode_t error = ext2fs_free_ext_attr(m_fs, ino, &inode))
        return damaged("freeing extended attributes", toErrno(error));
    if (const int error = releaseBlocks(ino, inode))
        return damaged("freeing a file", error);
    inode.i_links_count = 0;
    inode.i_dtime = __u32(time(nullptr));
    ext2fs_inode_size_set(m_fs, small(inode), 0);
    if (const int error = writeInode(ino, inode))
        return damaged("freeing a file", error);
    ext2fs_inode_alloc_stats2(m_fs, ino, -1, LINUX_S_ISDIR(inode.i_mode));
    inodeChanged(ino);
    m_names.forget(ino);
    return 0;
}

// One name less for a file that is not a directory: freed with its last name, or, while still
// open, kept as an orphan until its last release.
int Ext4Volume::dropLink(ext2_ino_t ino)
{
    ext2_inode_large inode;
    if (const int error = readInode(ino, inode))
        return error;
    inode.i_links_count = __u16(std::max(0, int(inode.i_links_count) - 1));
    stampTimes(m_fs, inode, false, false, true);
    if (inode.i_links_count == 0 && m_openCount.count(ino)) {
        // In the superblock's list, so that a crash before the release frees it quietly.
        inode.i_dtime = m_fs->super->s_last_orphan;
        m_fs->super->s_last_orphan = ino;
        ext2fs_mark_super_dirty(m_fs);
        m_orphans.insert(ino);
    }
    if (const int error = writeInode(ino, inode))
        return damaged("removing a name", error);
    return inode.i_links_count == 0 && !m_orphans.count(ino) ? freeInode(ino) : 0;
}

int Ext4Volume::isEmptyDirectory(ext2_ino_t dir, bool &empty)
{
    empty = true;
    const auto visit = [](ext2_ino_t, int, ext2_dir_entry *entry, int, int, char *, void *data) -> int {
        const int length = ext2fs_dirent_name_len(entry);
        const bool dots = (length == 1 && entry->name[0] == '.') ||
                          (length == 2 && entry->name[0] == '.' && entry->name[1] == '.');
        if (dots)
            return 0;
        *static_cast<bool *>(data) = false;
        return DIRENT_ABORT;
    };
    return toErrno(ext2fs_dir_iterate2(m_fs, dir, 0, nullptr, visit, &empty));
}

// Takes a name away: a directory must be empty, and loses its own links and its parent's. Once
// the name is gone nothing left can fail for want of room.
int Ext4Volume::removeEntry(ext2_ino_t parent, const char *name, ext2_ino_t ino, bool directory)
{
    if (directory) {
        bool empty = false;
        if (const int error = isEmptyDirectory(ino, empty))
            return error;
        if (!empty)
            return ENOTEMPTY;
    }
    if (const int error = unlinkName(parent, name, ino))
        return error;
    if (!directory) {
        const int error = dropLink(ino);
        return error ? error : touchDirectory(parent);
    }
    if (const int error = freeInode(ino))
        return error;
    ext2_inode_large parentInode;
    if (const int error = readInode(parent, parentInode))
        return damaged("removing a folder", error);
    if (parentInode.i_links_count > 2)
        --parentInode.i_links_count;
    stampTimes(m_fs, parentInode, false, true, true);
    if (const int error = writeInode(parent, parentInode))
        return damaged("removing a folder", error);
    return 0;
}

// unlink and rmdir: the name must be of the right kind.
void Ext4Volume::removeName(fuse_req_t req, fuse_ino_t parent, const char *name, bool directory)
{
    ext2_ino_t ino = 0;
    ext2_inode_large inode;
    int error = lookupName(toExt(parent), name, ino);
    if (!error)
        error = readInode(ino, inode);
    if (!error && bool(LINUX_S_ISDIR(inode.i_mode)) != directory)
        error = directory ? ENOTDIR : EISDIR;
    if (!error)
        error = makeRoom(requestRoom);
    if (!error)
        error = removeEntry(toExt(parent), name, ino, directory);
    replyError(req, error);
}

void Ext4Volume::symlink(fuse_req_t req, const char *target, fuse_ino_t fuseParent, const char *name)
{
    const ext2_ino_t parent = toExt(fuseParent);
    ext2_ino_t ino = 0;
    int error = lookupName(parent, name, ino);
    if (!error)
        error = EEXIST;
    else if (error == ENOENT)
        error = strlen(target) >= m_fs->blocksize ? ENAMETOOLONG : 0;
    if (!error)
        error = makeRoom(requestRoom);
    if (!error)
        error = newInode(parent, LINUX_S_IFLNK, ino);
    if (!error)
        error = withRoomIn(parent, name, ino, [&] { return ext2fs_symlink(m_fs, parent, ino, name, target); });
    if (!error) {
        inodeChanged(ino);
        const fuse_ctx *ctx = fuse_req_ctx(req);
        error = completeEntry(req, parent, ino, [&](ext2_inode_large &inode) { setOwner(inode, ctx->uid, ctx->gid); });
    }
    if (error)
        replyError(req, error);
}

// Whether a directory is the ancestor itself or lies inside it.
bool Ext4Volume::isInside(ext2_ino_t ino, ext2_ino_t ancestor)
{
    for (int depth = 0; depth < 4096; ++depth) {
        if (ino == ancestor)
            return true;
        if (ino == EXT2_ROOT_INO)
            return false;
        ext2_ino_t up = 0;
        if (ext2fs_lookup(m_fs, ino, "..", 2, nullptr, &up) != 0 || up == ino)
            return false;
        ino = up;
    }
    return true;
}

// Points an existing name at another inode, in place: nothing to allocate.
int Ext4Volume::retarget(ext2_ino_t dir, const char *name, ext2_ino_t ino, int fileType)
{
    struct Target
    {
        const char *name;
        size_t length;
        ext2_ino_t ino;
        int fileType;
        bool done;
    } target{name, strlen(name), ino, fileType, false};
    const auto visit = [](ext2_ino_t, int, ext2_dir_entry *entry, int, int, char *, void *data) -> int {
        auto &wanted = *static_cast<Target *>(data);
        if (entry->inode == 0 || size_t(ext2fs_dirent_name_len(entry)) != wanted.length ||
            memcmp(entry->name, wanted.name, wanted.length) != 0)
            return 0;
        entry->inode = wanted.ino;
        ext2fs_dirent_set_file_type(entry, wanted.fileType);
        wanted.done = true;
        return DIRENT_CHANGED | DIRENT_ABORT;
    };
    m_changed = true;
    const errcode_t error = ext2fs_dir_iterate2(m_fs, dir, 0, nullptr, visit, &target);
    if (error || !target.done) {
        m_names.forget(dir);
        return error ? toErrno(error) : ENOENT;
    }
    m_names.added(dir, name, ino);
    return 0;
}

// A rename is one transaction: over an existing name the entry is pointed at the moved file in
// place, so that either everything happens or nothing does.
void Ext4Volume::rename(fuse_req_t req, fuse_ino_t fuseParent, const char *name, fuse_ino_t fuseNewParent,
                        const char *newName, unsigned int flags)
{
    const ext2_ino_t parent = toExt(fuseParent), newParent = toExt(fuseNewParent);
    if (flags & ~unsigned(RENAME_NOREPLACE))
        return replyError(req, EINVAL);
    ext2_ino_t ino = 0, existing = 0;
    ext2_inode_large inode, target;
    if (int error = lookupName(parent, name, ino); error || (error = readInode(ino, inode)))
        return replyError(req, error);
    const bool directory = LINUX_S_ISDIR(inode.i_mode);
    if (strlen(newName) > EXT2_NAME_LEN)
        return replyError(req, ENAMETOOLONG);
    if (directory && newParent != parent && isInside(newParent, ino))
        return replyError(req, EINVAL);
    const int found = lookupName(newParent, newName, existing);
    if (found && found != ENOENT)
        return replyError(req, found);
    const bool replaces = found == 0;
    if (replaces) {
        if (flags & RENAME_NOREPLACE)
            return replyError(req, EEXIST);
        if (existing == ino)
            return replyError(req, 0);
        if (const int error = readInode(existing, target))
            return replyError(req, error);
        if (directory && !LINUX_S_ISDIR(target.i_mode))
            return replyError(req, ENOTDIR);
        if (!directory && LINUX_S_ISDIR(target.i_mode))
            return replyError(req, EISDIR);
        if (directory) {
            bool empty = false;
            if (const int error = isEmptyDirectory(existing, empty))
                return replyError(req, error);
            if (!empty)
                return replyError(req, ENOTEMPTY);
        }
    }
    if (const int error = makeRoom(requestRoom))
        return replyError(req, error);
    // The one step that may need room comes first, while nothing has changed yet.
    if (const int error = replaces ? retarget(newParent, newName, ino, fileTypeOf(inode.i_mode))
                                   : addLink(newParent, newName, ino, fileTypeOf(inode.i_mode)))
        return replyError(req, error);
    int error = unlinkName(parent, name, ino);
    if (!error && directory && parent != newParent) {
        // The moved directory's ".." names its new parent, which gains the link the old one loses.
        const auto repoint = [](ext2_ino_t, int, ext2_dir_entry *entry, int, int, char *, void *data) -> int {
            if (ext2fs_dirent_name_len(entry) == 2 && entry->name[0] == '.' && entry->name[1] == '.') {
                entry->inode = *static_cast<ext2_ino_t *>(data);
                return DIRENT_CHANGED | DIRENT_ABORT;
            }
            return 0;
        };
        ext2_ino_t up = newParent;
        error = toErrno(ext2fs_dir_iterate2(m_fs, ino, 0, nullptr, repoint, &up));
        m_names.forget(ino);
        ext2_inode_large upInode;
        if (!error && !(error = readInode(parent, upInode)) && upInode.i_links_count > 2) {
            --upInode.i_links_count;
            error = writeInode(parent, upInode);
        }
        if (!error && !(error = readInode(newParent, upInode))) {
            ++upInode.i_links_count;
            error = writeInode(newParent, upInode);
        }
    }
    if (!error && replaces) {
        // The name no longer leads to the file it replaced.
        if (!LINUX_S_ISDIR(target.i_mode)) {
            error = dropLink(existing);
        } else if (!(error = freeInode(existing))) {
            ext2_inode_large upInode;
            if (!(error = readInode(newParent, upInode)) && upInode.i_links_count > 2) {
                --upInode.i_links_count;
                error = writeInode(newParent, upInode);
            }
        }
    }
    if (!error && !(error = readInode(ino, inode))) {
        stampTimes(m_fs, inode, false, false, true);
        error = writeInode(ino, inode);
    }
    if (!error)
        error = touchDirectory(parent);
    if (!error && newParent != parent)
        error = touchDirectory(newParent);
    replyError(req, error ? damaged("renaming", error) : 0);
}

void Ext4Volume::link(fuse_req_t req, fuse_ino_t fuseIno, fuse_ino_t newParent, const char *newName)
{
    const ext2_ino_t ino = toExt(fuseIno);
    ext2_inode_large inode;
    ext2_ino_t existing = 0;
    int error = readInode(ino, inode);
    if (!error && LINUX_S_ISDIR(inode.i_mode))
        error = EPERM;
    if (!error && inode.i_links_count >= linkMax)
        error = EMLINK;
    if (!error && lookupName(toExt(newParent), newName, existing) == 0)
        error = EEXIST;
    if (!error)
        error = makeRoom(requestRoom);
    if (!error)
        error = addLink(toExt(newParent), newName, ino, fileTypeOf(inode.i_mode));
    if (!error) {
        ++inode.i_links_count;
        stampTimes(m_fs, inode, false, false, true);
        error = writeInode(ino, inode);
        if (!error)
            error = touchDirectory(toExt(newParent));
        if (error)
            error = damaged("adding a link", error);
    }
    if (!error)
        error = replyEntry(req, ino);
    if (error)
        replyError(req, error);
}

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
    st.f_blocks = ext2fs_blocks_count(super);
    st.f_bfree = free;
    st.f_bavail = free > reserved ? free - reserved : 0;
    st.f_files = super->s_inodes_count;
    st.f_ffree = super->s_free_inodes_count;
    st.f_favail = super->s_free_inodes_count;
    st.f_namemax = EXT2_NAME_LEN;
    fuse_reply_statfs(req, &st);
}

// ---- extended attributes ----

namespace {

// An open set of a file's extended attributes, closed however the request ends.
struct Attributes
{
    ext2_xattr_handle *handle = nullptr;
    errcode_t error = 0;
    Attributes(ext2_filsys fs, ext2_ino_t ino)
    {
        error = ext2fs_xattrs_open(fs, ino, &handle);
        if (!error)
            error = ext2fs_xattrs_read(handle);
    }
    ~Attributes()
    {
        if (handle)
            ext2fs_xattrs_close(&handle);
    }
    // The value's length, or a negative errno.
    long get(const char *name, std::string *value = nullptr)
    {
        void *data = nullptr;
        size_t length = 0;
        const errcode_t got = ext2fs_xattr_get(handle, name, &data, &length);
        if (got)
            return -toErrno(got);
        if (value)
            value->assign(static_cast<char *>(data), length);
        ext2fs_free_mem(&data);
        return long(length);
    }
};

} // namespace

void Ext4Volume::setxattr(fuse_req_t req, fuse_ino_t ino, const char *name, const char *value, size_t size,
                          int flags)
{
    int error = makeRoom(requestRoom);
    if (error)
        return replyError(req, error);
    {
        Attributes attributes(m_fs, toExt(ino));
        error = toErrno(attributes.error);
        if (!error) {
            const long existing = attributes.get(name);
            if ((flags & XATTR_CREATE) && existing >= 0)
                error = EEXIST;
            else if ((flags & XATTR_REPLACE) && existing < 0)
                error = ENODATA;
        }
        if (!error)
            error = toErrno(ext2fs_xattr_set(attributes.handle, name, value, size));
    }
    ext2_inode_large inode;
    if (!error && !(error = readInode(toExt(ino), inode))) {
        stampTimes(m_fs, inode, false, false, true);
        error = writeInode(toExt(ino), inode);
    }
    replyError(req, error);
}

void Ext4Volume::getxattr(fuse_req_t req, fuse_ino_t ino, const char *name, size_t size)
{
    Attributes attributes(m_fs, toExt(ino));
    if (attributes.error)
        return replyError(req, toErrno(attributes.error));
    std::string value;
    const long length = attributes.get(name, &value);
    if (length < 0)
        replyError(req, int(-length));
    else if (size == 0)
        fuse_reply_xattr(req, size_t(length));
    else if (size < size_t(length))
        replyError(req, ERANGE);
    else
        fuse_reply_buf(req, value.data(), value.size());
}

void Ext4Volume::listxattr(fuse_req_t req, fuse_ino_t ino, size_t size)
{
    Attributes attributes(m_fs, toExt(ino));
    if (attributes.error)
        return replyError(req, toErrno(attributes.error));
    std::string names;
    const auto collect = [](char *name, char *, size_t, void *data) -> int {
        auto &list = *static_cast<std::string *>(data);
        list.append(name);
        list.push_back('\0');
        return 0;
    };
    if (const errcode_t error = ext2fs_xattrs_iterate(attributes.handle, collect, &names))
        replyError(req, toErrno(error));
    else if (size == 0)
        fuse_reply_xattr(req, names.size());
    else if (size < names.size())
        replyError(req, ERANGE);
    else
        fuse_reply_buf(req, names.data(), names.size());
}

void Ext4Volume::removexattr(fuse_req_t req, fuse_ino_t ino, const char *name)
{
    int error = makeRoom(requestRoom);
    if (!error) {
        Attributes attributes(m_fs, toExt(ino));
        error = toErrno(attributes.error);
        if (!error && attributes.get(name) < 0)
            error = ENODATA;
        if (!error)
            error = toErrno(ext2fs_xattr_remove(attributes.handle, name));
    }
    ext2_inode_large inode;
    if (!error && !(error = readInode(toExt(ino), inode))) {
        stampTimes(m_fs, inode, false, false, true);
        error = writeInode(toExt(ino), inode);
    }
    replyError(req, error);
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
