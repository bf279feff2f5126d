// The volume's life: mounting, serving requests, writing back, closing. The other rooms: Ext4Space
// (blocks), Ext4Inodes, Ext4Names, Ext4Contents and Ext4Attributes.

#include "Ext4Volume.h"

#include "Ext4Support.h"
#include "ImageChannel.h"

#include <csignal>
#include <memory>

using namespace Ext4Support;

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
    m_overhead = tableBlocks(fs);
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
