#include "Ext4Volume.h"

#include "CipherFile.h"
#include "ImageChannel.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <linux/falloc.h>

namespace {

// Kernel caches of names and attributes: every change goes through this process, so a second
// of caching is safe and saves most lookups.
constexpr double cacheSeconds = 1.0;
constexpr auto writeBackInterval = std::chrono::seconds(1);
constexpr int linkMax = 65000;

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

void setOwner(ext2_inode_large &inode, uid_t uid, gid_t gid)
{
    inode.i_uid = __u16(uid);
    inode.osd2.linux2.l_i_uid_high = __u16(uid >> 16);
    inode.i_gid = __u16(gid);
    inode.osd2.linux2.l_i_gid_high = __u16(gid >> 16);
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

} // namespace

// Every request runs under the daemon's lock, and afterwards gives freed blocks back and writes
// metadata when due.
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
        volume->giveBackFreedBlocks();
        volume->flushIfDue();
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
    // Closing a file writes nothing by itself: metadata follows within a second, or at fsync.
    o.flush = [](fuse_req_t req, fuse_ino_t, fuse_file_info *) { fuse_reply_err(req, 0); };
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
}

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
    fs->priv_data = this;
    ext2fs_set_block_alloc_stats_callback(fs, blockFreed, nullptr);
    ext2fs_set_block_alloc_stats_range_callback(fs, rangeFreed, nullptr);
    // In use until it is closed: a crash leaves it marked for a check.
    fs->super->s_state &= __u16(~EXT2_VALID_FS);
    fs->super->s_mnt_count++;
    fs->super->s_mtime = __u32(time(nullptr));
    ext2fs_mark_super_dirty(fs);
    fs->flags |= EXT2_FLAG_MASTER_SB_ONLY;
    m_fs = fs;
    if (const int written = writeBack(true)) {
        ext2fs_close_free(&m_fs);
        return written;
    }

    const std::string options = "default_permissions,fsname=" + escapedOption(sourceName) + ",subtype=hollowkeep";
    char program[] = "volumed", dashO[] = "-o";
    std::vector<char> optionText(options.begin(), options.end());
    optionText.push_back('\0');
    char *argv[] = {program, dashO, optionText.data(), nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    fuse_session *session = fuse_session_new(&args, &Request::operations, sizeof Request::operations, this);
    if (!session || fuse_session_mount(session, mountPoint.c_str()) != 0) {
        if (session)
            fuse_session_destroy(session);
        fs->super->s_state |= EXT2_VALID_FS;
        ext2fs_mark_super_dirty(fs);
        ext2fs_close_free(&m_fs);
        return -EIO;
    }
    m_session = session;
    m_mountPoint = mountPoint;
    m_unmounted = false;
    m_changed = false;
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
    close();
    fuse_session_destroy(session);
    m_session = nullptr;
    m_closed.notify_all();
}

void Ext4Volume::close()
{
    if (!m_fs)
        return;
    for (const ext2_ino_t orphan : m_orphans)
        freeInode(orphan);
    m_orphans.clear();
    m_openCount.clear();
    giveBackFreedBlocks();
    m_fs->super->s_state |= EXT2_VALID_FS;
    ext2fs_mark_super_dirty(m_fs);
    // The backup superblocks too, once, at the end.
    m_fs->flags &= ~EXT2_FLAG_MASTER_SB_ONLY;
    ext2fs_close_free(&m_fs);
    m_image.sync();
    m_mountPoint.clear();
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

int Ext4Volume::writeBack(bool durable)
{
    if (!m_fs)
        return 0;
    errcode_t error = ext2fs_write_bitmaps(m_fs);
    if (!error)
        error = ext2fs_flush2(m_fs, EXT2_FLAG_FLUSH_NO_SYNC);
    m_lastWrite = std::chrono::steady_clock::now();
    if (error)
        return -toErrno(error);
    m_changed = false;
    return durable ? m_image.sync() : m_image.flush();
}

void Ext4Volume::flushIfDue()
{
    if (m_fs && m_changed && std::chrono::steady_clock::now() - m_lastWrite >= writeBackInterval)
        writeBack(false);
}

void Ext4Volume::blockFreed(ext2_filsys fs, blk64_t block, int inUse)
{
    if (inUse < 0)
        static_cast<Ext4Volume *>(fs->priv_data)->m_freed.emplace_back(block, 1);
}

void Ext4Volume::rangeFreed(ext2_filsys fs, blk64_t block, blk_t count, int inUse)
{
    if (inUse < 0)
        static_cast<Ext4Volume *>(fs->priv_data)->m_freed.emplace_back(block, count);
}

// The ciphertext behind blocks that are still free after the request becomes holes: deleting
// files gives disk space back at once.
void Ext4Volume::giveBackFreedBlocks()
{
    if (m_freed.empty() || !m_fs)
        return;
    std::sort(m_freed.begin(), m_freed.end());
    blk64_t runStart = 0, runLength = 0;
    const auto giveBack = [&] {
        if (runLength > 0)
            io_channel_discard(m_fs->io, runStart, runLength);
        runLength = 0;
    };
    for (const auto &[first, count] : m_freed) {
        for (blk64_t block = first; block < first + count; ++block) {
            if (ext2fs_test_block_bitmap2(m_fs->block_map, block)) {
                giveBack();
                continue;
            }
            if (runLength > 0 && block < runStart + runLength)
                continue;
            if (runLength > 0 && block == runStart + runLength) {
                ++runLength;
                continue;
            }
            giveBack();
            runStart = block;
            runLength = 1;
        }
    }
    giveBack();
    m_freed.clear();
}

int Ext4Volume::readInode(ext2_ino_t ino, ext2_inode_large &inode)
{
    memset(&inode, 0, sizeof inode);
    if (ino < EXT2_ROOT_INO || ino > m_fs->super->s_inodes_count)
        return ENOENT;
    return toErrno(ext2fs_read_inode_full(m_fs, ino, reinterpret_cast<ext2_inode *>(&inode), sizeof inode));
}

int Ext4Volume::writeInode(ext2_ino_t ino, ext2_inode_large &inode)
{
    touchChanged();
    return toErrno(ext2fs_write_inode_full(m_fs, ino, reinterpret_cast<ext2_inode *>(&inode), sizeof inode));
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
    st.st_blocks = blkcnt_t(ext2fs_get_stat_i_blocks(m_fs, reinterpret_cast<ext2_inode *>(const_cast<ext2_inode_large *>(&inode))));
    const bool extra = EXT2_INODE_SIZE(m_fs->super) > EXT2_GOOD_OLD_INODE_SIZE && inode.i_extra_isize >= 24;
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

namespace {

void stampTimes(ext2_filsys fs, ext2_inode_large &inode, bool access, bool modify, bool change,
                const timespec &when = now())
{
    const bool extra = EXT2_INODE_SIZE(fs->super) > EXT2_GOOD_OLD_INODE_SIZE && inode.i_extra_isize >= 24;
    if (access)
        encodeTime(when, inode.i_atime, extra ? &inode.i_atime_extra : nullptr);
    if (modify)
        encodeTime(when, inode.i_mtime, extra ? &inode.i_mtime_extra : nullptr);
    if (change)
        encodeTime(when, inode.i_ctime, extra ? &inode.i_ctime_extra : nullptr);
}

} // namespace

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
    if (fi) {
        ++m_openCount[ino];
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
    return toErrno(ext2fs_lookup(m_fs, dir, name, int(length), nullptr, &ino));
}

void Ext4Volume::lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    ext2_ino_t ino = 0;
    int error = lookupName(toExt(parent), name, ino);
    if (!error)
        error = replyEntry(req, ino);
    if (error)
        fuse_reply_err(req, error);
}

void Ext4Volume::getattr(fuse_req_t req, fuse_ino_t ino)
{
    ext2_inode_large inode;
    if (const int error = readInode(toExt(ino), inode)) {
        fuse_reply_err(req, error);
        return;
    }
    struct stat st;
    fillStat(toExt(ino), inode, st);
    fuse_reply_attr(req, &st, cacheSeconds);
}

int Ext4Volume::setSize(ext2_ino_t ino, off_t size)
{
    ext2_file_t file = nullptr;
    errcode_t error = ext2fs_file_open2(m_fs, ino, nullptr, EXT2_FILE_WRITE, &file);
    if (error)
        return toErrno(error);
    error = ext2fs_file_set_size2(file, ext2_off64_t(size));
    const errcode_t closed = ext2fs_file_close(file);
    touchChanged();
    return toErrno(error ? error : closed);
}

void Ext4Volume::setattr(fuse_req_t req, fuse_ino_t fuseIno, struct stat *attr, int toSet)
{
    const ext2_ino_t ino = toExt(fuseIno);
    ext2_inode_large inode;
    int error = readInode(ino, inode);
    if (!error && (toSet & FUSE_SET_ATTR_SIZE)) {
        if (LINUX_S_ISDIR(inode.i_mode))
            error = EISDIR;
        else
            error = setSize(ino, attr->st_size);
        if (!error) {
            error = readInode(ino, inode);
            stampTimes(m_fs, inode, false, true, true);
        }
    }
    if (error) {
        fuse_reply_err(req, error);
        return;
    }
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
    if ((error = writeInode(ino, inode))) {
        fuse_reply_err(req, error);
        return;
    }
    struct stat st;
    fillStat(ino, inode, st);
    fuse_reply_attr(req, &st, cacheSeconds);
}

void Ext4Volume::readlink(fuse_req_t req, fuse_ino_t fuseIno)
{
    const ext2_ino_t ino = toExt(fuseIno);
    ext2_inode_large inode;
    if (const int error = readInode(ino, inode)) {
        fuse_reply_err(req, error);
        return;
    }
    if (!LINUX_S_ISLNK(inode.i_mode)) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    const size_t length = EXT2_I_SIZE(&inode);
    std::string target(length, '\0');
    if (ext2fs_is_fast_symlink(reinterpret_cast<ext2_inode *>(&inode))) {
        memcpy(target.data(), inode.i_block, std::min(length, sizeof inode.i_block));
    } else {
        ext2_file_t file = nullptr;
        unsigned int got = 0;
        errcode_t error = ext2fs_file_open2(m_fs, ino, nullptr, 0, &file);
        if (!error) {
            error = ext2fs_file_read(file, target.data(), unsigned(length), &got);
            ext2fs_file_close(file);
        }
        if (error || got != length) {
            fuse_reply_err(req, error ? toErrno(error) : EIO);
            return;
        }
    }
    fuse_reply_readlink(req, target.c_str());
}

// Runs a change that adds a name to a directory, once more after growing a directory that was full.
int Ext4Volume::withRoomIn(ext2_ino_t dir, const std::function<errcode_t()> &change)
{
    errcode_t error = change();
    if (error == EXT2_ET_DIR_NO_SPACE) {
        error = ext2fs_expand_dir(m_fs, dir);
        if (!error)
            error = change();
    }
    touchChanged();
    return toErrno(error);
}

int Ext4Volume::addLink(ext2_ino_t dir, const char *name, ext2_ino_t ino, int fileType)
{
    if (strlen(name) > EXT2_NAME_LEN)
        return ENAMETOOLONG;
    return withRoomIn(dir, [&] { return ext2fs_link(m_fs, dir, name, ino, fileType); });
}

int Ext4Volume::touchDirectory(ext2_ino_t dir)
{
    ext2_inode_large inode;
    if (const int error = readInode(dir, inode))
        return error;
    stampTimes(m_fs, inode, false, true, true);
    return writeInode(dir, inode);
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
    if ((error = readInode(parent, parentInode)))
        return error;
    if ((error = toErrno(ext2fs_new_inode(m_fs, parent, int(mode), nullptr, &ino))))
        return error;
    if ((error = addLink(parent, name, ino, fileTypeOf(mode))))
        return error;
    ext2fs_inode_alloc_stats2(m_fs, ino, +1, 0);

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
        ext2_extent_handle_t handle = nullptr;
        if (ext2fs_extent_open2(m_fs, ino, reinterpret_cast<ext2_inode *>(&inode), &handle) == 0)
            ext2fs_extent_free(handle);
    }
    error = toErrno(ext2fs_write_new_inode(m_fs, ino, reinterpret_cast<ext2_inode *>(&inode)));
    // ext2fs_write_new_inode keeps only the small part's fields; the rest (times in nanoseconds)
    // follows in a full write.
    if (!error)
        error = writeInode(ino, inode);
    if (!error)
        error = touchDirectory(parent);
    return error;
}

void Ext4Volume::mknod(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode, dev_t rdev,
                       fuse_file_info *fi)
{
    ext2_ino_t ino = 0;
    const fuse_ctx *ctx = fuse_req_ctx(req);
    int error = createNode(toExt(parent), name, mode & ~ctx->umask, rdev, ctx, ino);
    if (!error)
        error = replyEntry(req, ino, fi);
    if (error)
        fuse_reply_err(req, error);
}

void Ext4Volume::mkdir(fuse_req_t req, fuse_ino_t fuseParent, const char *name, mode_t mode)
{
    const ext2_ino_t parent = toExt(fuseParent);
    const fuse_ctx *ctx = fuse_req_ctx(req);
    ext2_ino_t ino = 0;
    int error = lookupName(parent, name, ino);
    if (!error) {
        fuse_reply_err(req, EEXIST);
        return;
    }
    ext2_inode_large parentInode;
    if (error == ENOENT)
        error = readInode(parent, parentInode);
    if (!error && parentInode.i_links_count >= linkMax)
        error = EMLINK;
    if (!error)
        error = withRoomIn(parent, [&] { return ext2fs_mkdir(m_fs, parent, 0, name); });
    if (!error) {
        const bool inherit = parentInode.i_mode & S_ISGID;
        error = completeEntry(req, parent, name, [&](ext2_inode_large &inode) {
            inode.i_mode = __u16(LINUX_S_IFDIR | (mode & ~ctx->umask & 07777) | (inherit ? S_ISGID : 0));
            setOwner(inode, ctx->uid, inherit ? inode_gid(parentInode) : ctx->gid);
        });
    }
    if (error)
        fuse_reply_err(req, error);
}

// The entry libext2fs just made, as this request's caller should own it, with fresh times and
// its directory's, answered to the kernel.
int Ext4Volume::completeEntry(fuse_req_t req, ext2_ino_t parent, const char *name,
                              const std::function<void(ext2_inode_large &)> &adjust)
{
    ext2_ino_t ino = 0;
    ext2_inode_large inode;
    int error = lookupName(parent, name, ino);
    if (!error)
        error = readInode(ino, inode);
    if (error)
        return error;
    adjust(inode);
    stampTimes(m_fs, inode, true, true, true);
    if (!error)
        error = writeInode(ino, inode);
    if (!error)
        error = touchDirectory(parent);
    if (!error)
        error = replyEntry(req, ino);
    return error;
}

int Ext4Volume::freeInode(ext2_ino_t ino)
{
    ext2_inode_large inode;
    if (const int error = readInode(ino, inode))
        return error;
    if (ext2fs_inode_has_valid_blocks2(m_fs, reinterpret_cast<ext2_inode *>(&inode))) {
        if (const errcode_t error =
                ext2fs_punch(m_fs, ino, reinterpret_cast<ext2_inode *>(&inode), nullptr, 0, ~0ULL))
            return toErrno(error);
        readInode(ino, inode);
    }
    ext2fs_free_ext_attr(m_fs, ino, &inode);
    inode.i_links_count = 0;
    inode.i_dtime = __u32(time(nullptr));
    ext2fs_inode_size_set(m_fs, reinterpret_cast<ext2_inode *>(&inode), 0);
    const int error = writeInode(ino, inode);
    ext2fs_inode_alloc_stats2(m_fs, ino, -1, LINUX_S_ISDIR(inode.i_mode));
    return error;
}

int Ext4Volume::changeLinks(ext2_ino_t ino, int delta)
{
    ext2_inode_large inode;
    if (const int error = readInode(ino, inode))
        return error;
    inode.i_links_count = __u16(std::max(0, int(inode.i_links_count) + delta));
    stampTimes(m_fs, inode, false, false, true);
    if (const int error = writeInode(ino, inode))
        return error;
    if (inode.i_links_count > 0)
        return 0;
    if (m_openCount.count(ino)) {
        m_orphans.insert(ino);
        return 0;
    }
    return freeInode(ino);
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

// Takes a name away: a directory must be empty, and loses its own links and its parent's.
int Ext4Volume::removeEntry(ext2_ino_t parent, const char *name, ext2_ino_t ino, bool directory)
{
    if (directory) {
        bool empty = false;
        if (const int error = isEmptyDirectory(ino, empty))
            return error;
        if (!empty)
            return ENOTEMPTY;
    }
    if (const errcode_t error = ext2fs_unlink(m_fs, parent, name, ino, 0))
        return toErrno(error);
    touchChanged();
    if (directory) {
        ext2_inode_large inode;
        if (const int error = readInode(ino, inode))
            return error;
        inode.i_links_count = 0;
        if (const int error = writeInode(ino, inode))
            return error;
        if (const int error = freeInode(ino))
            return error;
        ext2_inode_large parentInode;
        if (const int error = readInode(parent, parentInode))
            return error;
        if (parentInode.i_links_count > 2)
            --parentInode.i_links_count;
        stampTimes(m_fs, parentInode, false, true, true);
        return writeInode(parent, parentInode);
    }
    if (const int error = changeLinks(ino, -1))
        return error;
    return touchDirectory(parent);
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
        error = removeEntry(toExt(parent), name, ino, directory);
    fuse_reply_err(req, error);
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
        error = withRoomIn(parent, [&] { return ext2fs_symlink(m_fs, parent, 0, name, target); });
    if (!error) {
        const fuse_ctx *ctx = fuse_req_ctx(req);
        error = completeEntry(req, parent, name,
                              [&](ext2_inode_large &inode) { setOwner(inode, ctx->uid, ctx->gid); });
    }
    if (error)
        fuse_reply_err(req, error);
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

void Ext4Volume::rename(fuse_req_t req, fuse_ino_t fuseParent, const char *name, fuse_ino_t fuseNewParent,
                        const char *newName, unsigned int flags)
{
    const ext2_ino_t parent = toExt(fuseParent), newParent = toExt(fuseNewParent);
    const auto fail = [&](int error) { fuse_reply_err(req, error); };
    if (flags & ~unsigned(RENAME_NOREPLACE))
        return fail(EINVAL);
    ext2_ino_t ino = 0, existing = 0;
    ext2_inode_large inode;
    if (int error = lookupName(parent, name, ino); error || (error = readInode(ino, inode)))
        return fail(error);
    const bool directory = LINUX_S_ISDIR(inode.i_mode);
    if (strlen(newName) > EXT2_NAME_LEN)
        return fail(ENAMETOOLONG);
    if (directory && newParent != parent && isInside(newParent, ino))
        return fail(EINVAL);
    const int found = lookupName(newParent, newName, existing);
    if (found && found != ENOENT)
        return fail(found);
    if (!found) {
        if (flags & RENAME_NOREPLACE)
            return fail(EEXIST);
        if (existing == ino)
            return fail(0);
        ext2_inode_large target;
        if (const int error = readInode(existing, target))
            return fail(error);
        if (directory && !LINUX_S_ISDIR(target.i_mode))
            return fail(ENOTDIR);
        if (!directory && LINUX_S_ISDIR(target.i_mode))
            return fail(EISDIR);
        if (const int error = removeEntry(newParent, newName, existing, directory))
            return fail(error);
    }
    if (const int error = addLink(newParent, newName, ino, fileTypeOf(inode.i_mode)))
        return fail(error);
    if (const errcode_t error = ext2fs_unlink(m_fs, parent, name, ino, 0))
        return fail(toErrno(error));
    if (directory && parent != newParent) {
        // The moved directory's ".." names its new parent, which gains the link the old one loses.
        const auto repoint = [](ext2_ino_t, int, ext2_dir_entry *entry, int, int, char *, void *data) -> int {
            if (ext2fs_dirent_name_len(entry) == 2 && entry->name[0] == '.' && entry->name[1] == '.') {
                entry->inode = *static_cast<ext2_ino_t *>(data);
                return DIRENT_CHANGED | DIRENT_ABORT;
            }
            return 0;
        };
        ext2_ino_t target = newParent;
        ext2fs_dir_iterate2(m_fs, ino, 0, nullptr, repoint, &target);
        ext2_inode_large up;
        if (readInode(parent, up) == 0 && up.i_links_count > 2) {
            --up.i_links_count;
            writeInode(parent, up);
        }
        if (readInode(newParent, up) == 0) {
            ++up.i_links_count;
            writeInode(newParent, up);
        }
    }
    readInode(ino, inode);
    stampTimes(m_fs, inode, false, false, true);
    writeInode(ino, inode);
    touchDirectory(parent);
    if (newParent != parent)
        touchDirectory(newParent);
    fuse_reply_err(req, 0);
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
        error = addLink(toExt(newParent), newName, ino, fileTypeOf(inode.i_mode));
    if (!error)
        error = changeLinks(ino, +1);
    if (!error)
        error = touchDirectory(toExt(newParent));
    if (!error)
        error = replyEntry(req, ino);
    if (error)
        fuse_reply_err(req, error);
}

void Ext4Volume::open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
    ext2_inode_large inode;
    if (const int error = readInode(toExt(ino), inode)) {
        fuse_reply_err(req, error);
        return;
    }
    ++m_openCount[toExt(ino)];
    fuse_reply_open(req, fi);
}

void Ext4Volume::release(fuse_req_t req, fuse_ino_t fuseIno)
{
    const ext2_ino_t ino = toExt(fuseIno);
    const auto found = m_openCount.find(ino);
    if (found != m_openCount.end() && --found->second <= 0) {
        m_openCount.erase(found);
        if (m_orphans.erase(ino))
            freeInode(ino);
    }
    fuse_reply_err(req, 0);
}

// Reads the extents of a file straight from the image, one read for each stretch of neighbouring
// blocks; holes and allocated but unwritten extents read as zeros.
int Ext4Volume::readExtents(ext2_ino_t ino, ext2_inode_large &inode, char *buffer, size_t size, off_t offset)
{
    ext2_extent_handle_t handle = nullptr;
    if (const errcode_t error = ext2fs_extent_open2(m_fs, ino, reinterpret_cast<ext2_inode *>(&inode), &handle))
        return toErrno(error);
    const off_t blockSize = off_t(m_fs->blocksize);
    const off_t end = offset + off_t(size);
    int result = 0;
    for (off_t at = offset; at < end && result == 0;) {
        const blk64_t logical = blk64_t(at / blockSize);
        ext2fs_extent extent = {};
        const errcode_t found = ext2fs_extent_goto(handle, logical);
        if (found == 0)
            ext2fs_extent_get(handle, EXT2_EXTENT_CURRENT, &extent);
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
    ext2fs_extent_free(handle);
    return result;
}

void Ext4Volume::read(fuse_req_t req, fuse_ino_t fuseIno, size_t size, off_t offset)
{
    const ext2_ino_t ino = toExt(fuseIno);
    ext2_inode_large inode;
    if (const int error = readInode(ino, inode)) {
        fuse_reply_err(req, error);
        return;
    }
    if (inode.i_flags & EXT4_EXTENTS_FL) {
        const off_t fileSize = off_t(EXT2_I_SIZE(&inode));
        size = offset >= fileSize ? 0 : size_t(std::min(off_t(size), fileSize - offset));
        const std::unique_ptr<char[]> buffer(new char[std::max<size_t>(size, 1)]);
        if (const int error = size ? readExtents(ino, inode, buffer.get(), size, offset) : 0)
            fuse_reply_err(req, error);
        else
            fuse_reply_buf(req, buffer.get(), size);
        return;
    }
    ext2_file_t file = nullptr;
    errcode_t error = ext2fs_file_open2(m_fs, ino, nullptr, 0, &file);
    if (error) {
        fuse_reply_err(req, toErrno(error));
        return;
    }
    std::vector<char> buffer(size);
    unsigned int got = 0;
    error = ext2fs_file_llseek(file, __u64(offset), EXT2_SEEK_SET, nullptr);
    if (!error)
        error = ext2fs_file_read(file, buffer.data(), unsigned(size), &got);
    ext2fs_file_close(file);
    // A block that fails its authentication is an error, never a short read.
    if (error)
        fuse_reply_err(req, toErrno(error));
    else
        fuse_reply_buf(req, buffer.data(), got);
}

void Ext4Volume::write(fuse_req_t req, fuse_ino_t fuseIno, const char *buffer, size_t size, off_t offset)
{
    const ext2_ino_t ino = toExt(fuseIno);
    ext2_file_t file = nullptr;
    errcode_t error = ext2fs_file_open2(m_fs, ino, nullptr, EXT2_FILE_WRITE, &file);
    if (error) {
        fuse_reply_err(req, toErrno(error));
        return;
    }
    unsigned int written = 0;
    error = ext2fs_file_llseek(file, __u64(offset), EXT2_SEEK_SET, nullptr);
    if (!error)
        error = ext2fs_file_write(file, buffer, unsigned(size), &written);
    const errcode_t closed = ext2fs_file_close(file);
    touchChanged();
    if (!error)
        error = closed;
    ext2_inode_large inode;
    if (readInode(ino, inode) == 0) {
        stampTimes(m_fs, inode, false, true, true);
        // Writing takes away the set-user and set-group bits, as the kernel's file systems do.
        inode.i_mode &= __u16(~(S_ISUID | ((inode.i_mode & S_IXGRP) ? S_ISGID : 0)));
        writeInode(ino, inode);
    }
    if (error && written == 0)
        fuse_reply_err(req, toErrno(error));
    else
        fuse_reply_write(req, written);
}

void Ext4Volume::fsync(fuse_req_t req)
{
    fuse_reply_err(req, -writeBack(true));
}

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
        fuse_reply_err(req, toErrno(error));
    else
        fuse_reply_buf(req, listing.buffer.data(), listing.used);
}

void Ext4Volume::statfs(fuse_req_t req)
{
    struct statvfs st = {};
    ext2_super_block *super = m_fs->super;
    const blk64_t free = ext2fs_free_blocks_count(super);
    const blk64_t reserved = ext2fs_r_blocks_count(super);
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
    Attributes attributes(m_fs, toExt(ino));
    int error = toErrno(attributes.error);
    if (!error) {
        const long existing = attributes.get(name);
        if ((flags & XATTR_CREATE) && existing >= 0)
            error = EEXIST;
        else if ((flags & XATTR_REPLACE) && existing < 0)
            error = ENODATA;
    }
    if (!error)
        error = toErrno(ext2fs_xattr_set(attributes.handle, name, value, size));
    touchChanged();
    if (!error) {
        ext2_inode_large inode;
        if (readInode(toExt(ino), inode) == 0) {
            stampTimes(m_fs, inode, false, false, true);
            writeInode(toExt(ino), inode);
        }
    }
    fuse_reply_err(req, error);
}

void Ext4Volume::getxattr(fuse_req_t req, fuse_ino_t ino, const char *name, size_t size)
{
    Attributes attributes(m_fs, toExt(ino));
    if (attributes.error) {
        fuse_reply_err(req, toErrno(attributes.error));
        return;
    }
    std::string value;
    const long length = attributes.get(name, &value);
    if (length < 0)
        fuse_reply_err(req, int(-length));
    else if (size == 0)
        fuse_reply_xattr(req, size_t(length));
    else if (size < size_t(length))
        fuse_reply_err(req, ERANGE);
    else
        fuse_reply_buf(req, value.data(), value.size());
}

void Ext4Volume::listxattr(fuse_req_t req, fuse_ino_t ino, size_t size)
{
    Attributes attributes(m_fs, toExt(ino));
    if (attributes.error) {
        fuse_reply_err(req, toErrno(attributes.error));
        return;
    }
    std::string names;
    const auto collect = [](char *name, char *, size_t, void *data) -> int {
        auto &list = *static_cast<std::string *>(data);
        list.append(name);
        list.push_back('\0');
        return 0;
    };
    ext2fs_xattrs_iterate(attributes.handle, collect, &names);
    if (size == 0)
        fuse_reply_xattr(req, names.size());
    else if (size < names.size())
        fuse_reply_err(req, ERANGE);
    else
        fuse_reply_buf(req, names.data(), names.size());
}

void Ext4Volume::removexattr(fuse_req_t req, fuse_ino_t ino, const char *name)
{
    Attributes attributes(m_fs, toExt(ino));
    int error = toErrno(attributes.error);
    if (!error && attributes.get(name) < 0)
        error = ENODATA;
    if (!error)
        error = toErrno(ext2fs_xattr_remove(attributes.handle, name));
    touchChanged();
    fuse_reply_err(req, error);
}

void Ext4Volume::fallocate(fuse_req_t req, fuse_ino_t fuseIno, int mode, off_t offset, off_t length)
{
    const ext2_ino_t ino = toExt(fuseIno);
    const off_t blockSize = off_t(m_fs->blocksize);
    ext2_inode_large inode;
    int error = readInode(ino, inode);
    if (!error && !LINUX_S_ISREG(inode.i_mode))
        error = ENODEV;
    if (error || offset < 0 || length <= 0) {
        fuse_reply_err(req, error ? error : EINVAL);
        return;
    }
    touchChanged();
    if (mode == 0 || mode == FALLOC_FL_KEEP_SIZE) {
        const blk64_t first = blk64_t(offset / blockSize);
        const blk64_t end = blk64_t((offset + length + blockSize - 1) / blockSize);
        error = toErrno(ext2fs_fallocate(m_fs, EXT2_FALLOCATE_FORCE_UNINIT | EXT2_FALLOCATE_INIT_BEYOND_EOF, ino,
                                         reinterpret_cast<ext2_inode *>(&inode), ~0ULL, first, end - first));
        if (!error)
            error = readInode(ino, inode);
        if (!error && mode == 0 && off_t(EXT2_I_SIZE(&inode)) < offset + length) {
            ext2fs_inode_size_set(m_fs, reinterpret_cast<ext2_inode *>(&inode), ext2_off64_t(offset + length));
        }
    } else if (mode == (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE)) {
        const off_t size = off_t(EXT2_I_SIZE(&inode));
        const off_t end = std::min(offset + length, size);
        const off_t firstWhole = (offset + blockSize - 1) / blockSize * blockSize;
        const off_t endWhole = end / blockSize * blockSize;
        // The partial blocks at either end are zeroed, the whole ones in between freed.
        const auto zero = [&](off_t from, off_t to) -> int {
            if (to <= from)
                return 0;
            ext2_file_t file = nullptr;
            errcode_t failed = ext2fs_file_open2(m_fs, ino, nullptr, EXT2_FILE_WRITE, &file);
            if (failed)
                return toErrno(failed);
            const std::vector<char> zeros(size_t(to - from), 0);
            unsigned int written = 0;
            failed = ext2fs_file_llseek(file, __u64(from), EXT2_SEEK_SET, nullptr);
            if (!failed)
                failed = ext2fs_file_write(file, zeros.data(), unsigned(zeros.size()), &written);
            const errcode_t closed = ext2fs_file_close(file);
            return toErrno(failed ? failed : closed);
        };
        if (offset < end) {
            if (firstWhole >= endWhole) {
                error = zero(offset, end);
            } else {
                error = zero(offset, firstWhole);
                if (!error)
                    error = zero(endWhole, end);
                if (!error)
                    error = readInode(ino, inode);
                if (!error)
                    error = toErrno(ext2fs_punch(m_fs, ino, reinterpret_cast<ext2_inode *>(&inode), nullptr,
                                                 blk64_t(firstWhole / blockSize),
                                                 blk64_t(endWhole / blockSize) - 1));
            }
        }
        if (!error)
            error = readInode(ino, inode);
    } else {
        error = EOPNOTSUPP;
    }
    if (!error) {
        stampTimes(m_fs, inode, false, true, true);
        error = writeInode(ino, inode);
    }
    fuse_reply_err(req, error);
}
