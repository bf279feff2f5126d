#pragma once

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

class CipherFile;

// The ext4 file system inside an encrypted image, served over FUSE by libext2fs in this process.
// Every request runs under the daemon's one lock. Metadata is written back at most about once a
// second while busy, and at once on fsync, syncfs and unmount.
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
    // Writes metadata when it changed and a second has passed. Called with the lock held.
    void flushIfDue();
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
    void close();
    int writeBack(bool durable);
    void touchChanged() { m_changed = true; }
    int readInode(ext2_ino_t ino, ext2_inode_large &inode);
    int writeInode(ext2_ino_t ino, ext2_inode_large &inode);
    void fillStat(ext2_ino_t ino, const ext2_inode_large &inode, struct stat &st) const;
    int replyEntry(fuse_req_t req, ext2_ino_t ino, fuse_file_info *fi = nullptr);
    int lookupName(ext2_ino_t dir, const char *name, ext2_ino_t &ino);
    int withRoomIn(ext2_ino_t dir, const std::function<errcode_t()> &change);
    int completeEntry(fuse_req_t req, ext2_ino_t parent, const char *name,
                      const std::function<void(ext2_inode_large &)> &adjust);
    int addLink(ext2_ino_t dir, const char *name, ext2_ino_t ino, int fileType);
    int createNode(ext2_ino_t parent, const char *name, mode_t mode, dev_t rdev, const fuse_ctx *ctx,
                   ext2_ino_t &ino);
    int changeLinks(ext2_ino_t ino, int delta);
    int freeInode(ext2_ino_t ino);
    int removeEntry(ext2_ino_t parent, const char *name, ext2_ino_t ino, bool directory);
    int touchDirectory(ext2_ino_t dir);
    int isEmptyDirectory(ext2_ino_t dir, bool &empty);
    int setSize(ext2_ino_t ino, off_t size);
    int readExtents(ext2_ino_t ino, ext2_inode_large &inode, char *buffer, size_t size, off_t offset);
    bool isInside(ext2_ino_t ino, ext2_ino_t ancestor);
    void giveBackFreedBlocks();
    static void blockFreed(ext2_filsys fs, blk64_t block, int inUse);
    static void rangeFreed(ext2_filsys fs, blk64_t block, blk_t count, int inUse);

    CipherFile &m_image;
    std::mutex &m_lock;
    std::condition_variable m_closed;
    ext2_filsys m_fs = nullptr;
    fuse_session *m_session = nullptr;
    std::thread m_thread;
    std::string m_mountPoint;
    bool m_changed = false;
    bool m_unmounted = false;
    std::chrono::steady_clock::time_point m_lastWrite;
    std::map<ext2_ino_t, int> m_openCount;
    std::set<ext2_ino_t> m_orphans; // unlinked while open: freed on the last release
    std::vector<std::pair<blk64_t, blk64_t>> m_freed; // ranges freed since the last request
};
