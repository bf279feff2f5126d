#pragma once

#include "BlockRanges.h"
#include "CipherFile.h"
#include "DirectoryNames.h"

#include <ext2fs/ext2fs.h>

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// The ext4 file system inside an encrypted image, served over FUSE by libext2fs in this process.
// Every request runs under the daemon's one lock.
//
// Durability: each request that changes something is one transaction of the image's journal,
// written before the request is answered, so a killed daemon loses nothing it answered. fsync
// makes the transactions durable; about once a second they become durable anyway, and a
// checkpoint puts them in place at least every few seconds. Blocks allocated by a request are
// written in place at once and taken from the host disk's space when allocated, so a full host
// disk fails the write that needs the room, never a later write back. Blocks freed stay unused
// until the next checkpoint; once their freeing is durable their ciphertext becomes holes.
class Ext4Volume
{
public:
    Ext4Volume(CipherFile &image, std::mutex &lock);
    ~Ext4Volume();
    Ext4Volume(const Ext4Volume &) = delete;
    Ext4Volume &operator=(const Ext4Volume &) = delete;

    // Opens the file system and mounts it; 0 or a negative errno (-EUCLEAN: it needs a check
    // first). Called with the lock held.
    int mount(const std::string &mountPoint, const std::string &sourceName);
    [[nodiscard]] bool active() const { return m_fs != nullptr; }
    [[nodiscard]] const std::string &mountPoint() const { return m_mountPoint; }
    // Whether the mount is gone from the kernel while this side still closes the file system.
    [[nodiscard]] bool closing() const;
    // Waits, with the lock held by the caller's guard, until the file system is closed.
    void waitClosed(std::unique_lock<std::mutex> &guard);
    // Ends serving: the mount goes away lazily, the file system is written and closed.
    void stop();
    // Makes changes durable and puts them in place when due. Called with the lock held.
    void maintain();
    // Everything in place and durable; 0 or the errno of what failed. Called with the lock held.
    int checkpoint();
    // The errno of a write back that failed at the last close, 0 when everything was written.
    [[nodiscard]] int closeError() const { return m_closeError; }
    // Lets SIGUSR1 reach the calling thread: it interrupts a waiting request loop, which then
    // looks at its exit flag (stop()). All other threads keep it blocked.
    static void acceptWakeSignal();
    // A text as a value in FUSE's comma-separated mount options.
    [[nodiscard]] static std::string escapedOption(const std::string &text);

    // Requests, called by the session with the lock held.
    struct Request;
    void lookup(fuse_req_t req, fuse_ino_t parent, const char *name);
    void getattr(fuse_req_t req, fuse_ino_t ino);
    void setattr(fuse_req_t req, fuse_ino_t ino, struct stat *attr, int toSet);
    void readlink(fuse_req_t req, fuse_ino_t ino);
    void mknod(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode, dev_t rdev,
               fuse_file_info *fi);
    void mkdir(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode);
    void removeName(fuse_req_t req, fuse_ino_t parent, const char *name, bool directory);
    void symlink(fuse_req_t req, const char *target, fuse_ino_t parent, const char *name);
    void rename(fuse_req_t req, fuse_ino_t parent, const char *name, fuse_ino_t newParent,
                const char *newName, unsigned int flags);
    void link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newParent, const char *newName);
    void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi);
    void read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset);
    void write(fuse_req_t req, fuse_ino_t ino, const char *buffer, size_t size, off_t offset);
    void flush(fuse_req_t req);
    [[nodiscard]] bool noFlushNeeded() const;
    void release(fuse_req_t req, fuse_ino_t ino);
    void fsync(fuse_req_t req);
    void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset);
    void statfs(fuse_req_t req);
    void setxattr(fuse_req_t req, fuse_ino_t ino, const char *name, const char *value, size_t size, int flags);
    void getxattr(fuse_req_t req, fuse_ino_t ino, const char *name, size_t size);
    void listxattr(fuse_req_t req, fuse_ino_t ino, size_t size);
    void removexattr(fuse_req_t req, fuse_ino_t ino, const char *name);
    void fallocate(fuse_req_t req, fuse_ino_t ino, int mode, off_t offset, off_t length);

private:
    void serve(fuse_session *session);
    int close();
    // Writes what the last request changed as one transaction. Every answer to the kernel comes
    // after it, through the reply helpers below.
    int settle();
    int syncDurable();
    void noteWriteBackFailure(const char *what, int error);
    // Room in the journal for a request's changes, and free blocks that are not waiting for a
    // checkpoint; 0 or ENOSPC.
    int makeRoom(size_t bytes);
    void replyError(fuse_req_t req, int error);
    void replyAttr(fuse_req_t req, ext2_ino_t ino, const ext2_inode_large &inode);
    int replyEntry(fuse_req_t req, ext2_ino_t ino, fuse_file_info *fi = nullptr);
    // A failure after part of an operation was done: logged, and the file system is marked for a
    // full check at the next attach.
    int damaged(const char *operation, int error);

    int readInode(ext2_ino_t ino, ext2_inode_large &inode);
    int writeInode(ext2_ino_t ino, ext2_inode_large &inode);
    void fillStat(ext2_ino_t ino, const ext2_inode_large &inode, struct stat &st) const;
    int lookupName(ext2_ino_t dir, const char *name, ext2_ino_t &ino);
    // Runs a change that adds the name to a directory, once more after growing a directory that
    // was full, and keeps the directory's known names right.
    int withRoomIn(ext2_ino_t dir, const char *name, ext2_ino_t ino, const std::function<errcode_t()> &change);
    int unlinkName(ext2_ino_t dir, const char *name, ext2_ino_t ino);
    int completeEntry(fuse_req_t req, ext2_ino_t parent, ext2_ino_t ino,
                      const std::function<void(ext2_inode_large &)> &adjust);
    int addLink(ext2_ino_t dir, const char *name, ext2_ino_t ino, int fileType);
    errcode_t appendLink(ext2_ino_t dir, const char *name, ext2_ino_t ino, int fileType);
    int newInode(ext2_ino_t parent, mode_t mode, ext2_ino_t &ino);
    int createNode(ext2_ino_t parent, const char *name, mode_t mode, dev_t rdev, const fuse_ctx *ctx,
                   ext2_ino_t &ino);
    int dropLink(ext2_ino_t ino);
    int freeInode(ext2_ino_t ino);
    int releaseBlocks(ext2_ino_t ino, ext2_inode_large &inode);
    void forgetOrphan(ext2_ino_t ino, __u32 next);
    int removeEntry(ext2_ino_t parent, const char *name, ext2_ino_t ino, bool directory);
    int retarget(ext2_ino_t dir, const char *name, ext2_ino_t ino, int fileType);
    int touchDirectory(ext2_ino_t dir);
    int isEmptyDirectory(ext2_ino_t dir, bool &empty);
    int setSize(ext2_ino_t ino, off_t size);
    int reserveMapped(ext2_ino_t ino, ext2_inode_large &inode, off_t offset, off_t length);
    int allocate(ext2_ino_t ino, ext2_inode_large &inode, blk64_t first, blk64_t end);
    int zeroRange(ext2_ino_t ino, off_t from, off_t to);
    int punchRange(ext2_ino_t ino, off_t offset, off_t length);
    int readExtents(ext2_ino_t ino, ext2_inode_large &inode, char *buffer, size_t size, off_t offset);
    bool isInside(ext2_ino_t ino, ext2_ino_t ancestor);

    // Allocation, so that blocks come only from space the host disk has set aside, never from
    // blocks freed since the last checkpoint, and never the last block of the file system (whose
    // release libext2fs 1.47.0 refuses).
    [[nodiscard]] blk64_t lastUsableBlock() const;
    int findFree(blk64_t from, blk64_t last, blk64_t &found);
    errcode_t allocateBlock(blk64_t goal, blk64_t *ret);
    errcode_t allocateRange(int flags, blk64_t goal, blk64_t length, blk64_t *first, blk64_t *count);
    int reserveBlocks(blk64_t first, blk64_t count);
    int reserveGroups(blk64_t firstBlock, blk64_t count);
    void blocksChanged(blk64_t first, blk64_t count, bool freed);
    void inodeChanged(ext2_ino_t ino);
    errcode_t writeChangedBitmaps(bool all);
    CipherFile::Placement placementOf(uint64_t cipherBlock);
    void giveBackFreedBlocks();

    CipherFile &m_image;
    std::mutex &m_lock;
    std::condition_variable m_closed;
    ext2_filsys m_fs = nullptr;
    fuse_session *m_session = nullptr;
    std::thread m_thread;
    std::string m_mountPoint;
    bool m_unmounted = false;
    bool m_changed = false;
    int m_writeBackError = 0;
    int m_closeError = 0;
    blk64_t m_overhead = 0; // the file system's own tables, left out of the size it reports
    std::chrono::steady_clock::time_point m_lastSync, m_lastCheckpoint;
    std::map<ext2_ino_t, int> m_openCount;
    std::set<ext2_ino_t> m_orphans; // unlinked while open: freed on the last release
    BlockRanges m_fresh;            // allocated since the last transaction
    BlockRanges m_quarantine;       // freed since the last checkpoint: not used again before it
    BlockRanges m_freedSinceSync;   // freed and not yet given back
    BlockRanges m_reservedAhead;    // room set aside on the host for blocks not yet allocated
    BlockRanges m_reservedTables;   // inode table blocks with their room on the host set aside
    std::vector<bool> m_changedBlockBitmaps, m_changedInodeBitmaps;
    std::vector<bool> m_reservedGroups; // groups whose bitmaps have their room on the host
    DirectoryNames m_names;
};
