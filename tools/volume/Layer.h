#pragma once

#include "CipherFile.h"
#include "Ext4Volume.h"

#define FUSE_USE_VERSION 35
#include <fuse.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

// The decrypted view of a cipher folder: its files by their plain names (the folder uses plain
// names), for the file-system tools that work on the image. A control file, ".volume", mounts the
// file system inside the image from this process when a mount point is written to it, writes
// everything in place and makes it durable when "sync" is written to it (the write fails with
// the reason when that cannot be done), and reads back where the volume is mounted (empty when
// it is not).
class Layer
{
public:
    static constexpr const char *imageName = "disk.img";
    static constexpr const char *controlName = ".volume";
    // Beside the image: its journal, and the record of a write an earlier release kept instead.
    static constexpr const char *journalName = ".disk.img.journal";
    static constexpr const char *legacyRecordName = ".disk.img.writing";

    Layer(std::string cipherFolder, ContentCipher &cipher, bool readOnly, std::mutex &lock);
    ~Layer();

    [[nodiscard]] static const fuse_operations &operations();
    // Opens the image for good, putting right first what an earlier process left unfinished.
    // 0 or a negative errno.
    int openImage(CipherFile::Recovery &recovery);
    // Writes the image back in place and closes it; 0 or a negative errno.
    int closeImage();
    [[nodiscard]] Ext4Volume *volume() { return m_volume.get(); }
    // Writes every open file back and makes it durable.
    void syncAll();
    void setMountPoint(std::string path) { m_mountPoint = std::move(path); }

    struct Entry
    {
        std::unique_ptr<CipherFile> file;
        int opens = 0;
    };

    // Requests, with the lock held.
    int getattr(const std::string &name, struct stat *st);
    int readdir(void *buffer, fuse_fill_dir_t filler);
    int open(const std::string &name, fuse_file_info *fi, bool create, mode_t mode);
    int read(const std::string &name, fuse_file_info *fi, char *buffer, size_t size, off_t offset);
    int write(const std::string &name, fuse_file_info *fi, const char *buffer, size_t size, off_t offset);
    int truncate(const std::string &name, off_t size);
    int release(const std::string &name, fuse_file_info *fi);
    int fsync(fuse_file_info *fi);
    int unlink(const std::string &name);
    int statfs(struct statvfs *st);
    int utimens(const std::string &name, const timespec times[2]);

    std::mutex &lock() { return m_lock; }
    std::unique_lock<std::mutex> *guard = nullptr; // the running request's hold on the lock

private:
    [[nodiscard]] std::string cipherPath(const std::string &name) const { return m_folder + "/" + name; }
    Entry *entryOf(const std::string &name, int flags, mode_t mode, int &error);
    int controlWrite(const char *buffer, size_t size);
    int waitForImage(int flags);

    std::string m_folder;
    ContentCipher &m_cipher;
    bool m_readOnly;
    std::mutex &m_lock;
    std::string m_mountPoint;
    std::map<std::string, Entry> m_entries;
    std::unique_ptr<Ext4Volume> m_volume;
    CipherFile::Recovery m_recovery;
};
