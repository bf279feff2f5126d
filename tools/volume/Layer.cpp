#include "Layer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

constexpr size_t imageCacheBytes = 8u << 20;
constexpr size_t smallCacheBytes = 64u << 10;

// The encryption's own files and the write log stay out of sight, as the names of the folder's
// other files are the plain names.
bool isHidden(const std::string &name)
{
    return name.rfind("gocryptfs.", 0) == 0 || name == Layer::journalName || name == Layer::legacyRecordName;
}

// "/name" to "name"; empty for the root, and for anything deeper, which the flat view lacks.
bool nameOf(const char *path, std::string &name)
{
    if (path[0] != '/')
        return false;
    name = path + 1;
    return name.find('/') == std::string::npos;
}

Layer *layerOf()
{
    return static_cast<Layer *>(fuse_get_context()->private_data);
}

template<typename Call>
int run(const char *path, Call call)
{
    Layer *layer = layerOf();
    std::string name;
    if (!nameOf(path, name))
        return -ENOENT;
    std::unique_lock guard(layer->lock());
    layer->guard = &guard;
    const int result = call(*layer, name);
    layer->guard = nullptr;
    return result;
}

off_t plainSizeOf(off_t cipherSize)
{
    if (cipherSize <= off_t(ContentCipher::headerSize))
        return 0;
    const off_t body = cipherSize - off_t(ContentCipher::headerSize);
    const off_t rest = body % off_t(ContentCipher::cipherBlock);
    return body / off_t(ContentCipher::cipherBlock) * off_t(ContentCipher::plainBlock) +
           (rest > off_t(ContentCipher::overhead) ? rest - off_t(ContentCipher::overhead) : 0);
}

} // namespace

Layer::Layer(std::string cipherFolder, ContentCipher &cipher, bool readOnly, std::mutex &lock)
    : m_folder(std::move(cipherFolder))
    , m_cipher(cipher)
    , m_readOnly(readOnly)
    , m_lock(lock)
{
}

Layer::~Layer()
{
    m_volume.reset();
    syncAll();
}

int Layer::openImage(CipherFile::Recovery &recovery)
{
    struct stat info;
    if (lstat(cipherPath(imageName).c_str(), &info) != 0)
        return errno == ENOENT ? 0 : -errno; // a vault being made: the image comes later
    int error = 0;
    if (!entryOf(imageName, 0, 0, error))
        return error;
    recovery = m_recovery;
    return 0;
}

int Layer::closeImage()
{
    m_volume.reset();
    const auto found = m_entries.find(imageName);
    if (found == m_entries.end() || !found->second.file)
        return 0;
    const int error = found->second.file->sync();
    // The destructor checkpoints once more and removes the journal when everything is in place.
    m_entries.erase(found);
    return error;
}

void Layer::syncAll()
{
    for (auto &[name, entry] : m_entries) {
        if (entry.file)
            entry.file->sync();
    }
}

const fuse_operations &Layer::operations()
{
    static const fuse_operations o = [] {
        fuse_operations ops = {};
        ops.init = [](fuse_conn_info *, fuse_config *config) -> void * {
            // Nothing of the view is cached by the kernel: the volume changes the image behind it.
            config->entry_timeout = 0;
            config->attr_timeout = 0;
            config->negative_timeout = 0;
            config->direct_io = 1;
            return fuse_get_context()->private_data;
        };
        ops.getattr = [](const char *path, struct stat *st, fuse_file_info *) {
            return run(path, [&](Layer &l, const std::string &name) { return l.getattr(name, st); });
        };
        ops.readdir = [](const char *path, void *buffer, fuse_fill_dir_t filler, off_t, fuse_file_info *,
                         fuse_readdir_flags) {
            return run(path, [&](Layer &l, const std::string &name) {
                return name.empty() ? l.readdir(buffer, filler) : -ENOTDIR;
            });
        };
        ops.open = [](const char *path, fuse_file_info *fi) {
            return run(path, [&](Layer &l, const std::string &name) { return l.open(name, fi, false, 0); });
        };
        ops.create = [](const char *path, mode_t mode, fuse_file_info *fi) {
            return run(path, [&](Layer &l, const std::string &name) { return l.open(name, fi, true, mode); });
        };
        ops.read = [](const char *path, char *buffer, size_t size, off_t offset, fuse_file_info *fi) {
            return run(path, [&](Layer &l, const std::string &name) { return l.read(name, fi, buffer, size, offset); });
        };
        ops.write = [](const char *path, const char *buffer, size_t size, off_t offset, fuse_file_info *fi) {
            return run(path,
                       [&](Layer &l, const std::string &name) { return l.write(name, fi, buffer, size, offset); });
        };
        ops.truncate = [](const char *path, off_t size, fuse_file_info *) {
            return run(path, [&](Layer &l, const std::string &name) { return l.truncate(name, size); });
        };
        ops.release = [](const char *path, fuse_file_info *fi) {
            return run(path, [&](Layer &l, const std::string &name) { return l.release(name, fi); });
        };
        ops.fsync = [](const char *path, int, fuse_file_info *fi) {
            return run(path, [&](Layer &l, const std::string &) { return l.fsync(fi); });
        };
        ops.unlink = [](const char *path) {
            return run(path, [&](Layer &l, const std::string &name) { return l.unlink(name); });
        };
        ops.statfs = [](const char *path, struct statvfs *st) {
            return run(path, [&](Layer &l, const std::string &) { return l.statfs(st); });
        };
        ops.utimens = [](const char *path, const timespec times[2], fuse_file_info *) {
            return run(path, [&](Layer &l, const std::string &name) { return l.utimens(name, times); });
        };
        return ops;
    }();
    return o;
}

int Layer::getattr(const std::string &name, struct stat *st)
{
    if (name.empty())
        return lstat(m_folder.c_str(), st) == 0 ? 0 : -errno;
    if (name == controlName) {
        memset(st, 0, sizeof *st);
        st->st_mode = S_IFREG | 0600;
        st->st_nlink = 1;
        st->st_uid = getuid();
        st->st_gid = getgid();
        return 0;
    }
    if (isHidden(name) || lstat(cipherPath(name).c_str(), st) != 0 || !S_ISREG(st->st_mode))
        return -ENOENT;
    const auto found = m_entries.find(name);
    st->st_size = found != m_entries.end() && found->second.file ? found->second.file->size()
                                                                  : plainSizeOf(st->st_size);
    return 0;
}

int Layer::readdir(void *buffer, fuse_fill_dir_t filler)
{
    DIR *folder = opendir(m_folder.c_str());
    if (!folder)
        return -errno;
    filler(buffer, ".", nullptr, 0, fuse_fill_dir_flags(0));
    filler(buffer, "..", nullptr, 0, fuse_fill_dir_flags(0));
    while (const dirent *item = ::readdir(folder)) {
        const std::string name = item->d_name;
        struct stat st;
        if (name != "." && name != ".." && !isHidden(name) && lstat(cipherPath(name).c_str(), &st) == 0 &&
            S_ISREG(st.st_mode))
            filler(buffer, name.c_str(), nullptr, 0, fuse_fill_dir_flags(0));
    }
    closedir(folder);
    return 0;
}

// The image belongs to the volume while it is mounted: reading it stays possible (the answer
// comes from the same cache), changing it waits until an unmount has finished.
int Layer::waitForImage(int flags)
{
    Ext4Volume *volume = m_volume.get();
    if (!volume || !volume->active())
        return 0;
    if (volume->closing()) {
        volume->waitClosed(*guard);
        return 0;
    }
    return (flags & O_ACCMODE) == O_RDONLY ? 0 : -EBUSY;
}

Layer::Entry *Layer::entryOf(const std::string &name, int flags, mode_t mode, int &error)
{
    error = 0;
    Entry &entry = m_entries[name];
    if (entry.file)
        return &entry;
    int fd = ::open(cipherPath(name).c_str(), (m_readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NOFOLLOW |
                                                  (flags & (O_CREAT | O_EXCL)), mode);
    if (fd < 0) {
        error = -errno;
        m_entries.erase(name);
        return nullptr;
    }
    entry.file = std::make_unique<CipherFile>(fd, m_cipher, name == imageName ? imageCacheBytes : smallCacheBytes);
    error = entry.file->status();
    if (error == 0 && name == imageName) {
        // Open for good from here on: the journal lives as long as the daemon.
        ++entry.opens;
        if (!m_readOnly)
            error = entry.file->replayLegacyRecord(cipherPath(legacyRecordName));
        if (error == 0)
            error = entry.file->keepJournal(cipherPath(journalName), m_readOnly, m_recovery);
    }
    if (error != 0) {
        m_entries.erase(name);
        return nullptr;
    }
    return &entry;
}

int Layer::open(const std::string &name, fuse_file_info *fi, bool create, mode_t mode)
{
    fi->direct_io = 1;
    const bool writing = (fi->flags & O_ACCMODE) != O_RDONLY || create || (fi->flags & O_TRUNC);
    if (m_readOnly && writing)
        return -EROFS;
    if (name == controlName)
        return 0;
    if (name.empty() || isHidden(name))
        return name.empty() ? -EISDIR : -EACCES;
    if (name == imageName) {
        if (const int error = waitForImage(writing ? O_RDWR : O_RDONLY))
            return error;
    }
    int error = 0;
    Entry *entry = entryOf(name, create ? (fi->flags | O_CREAT) : fi->flags, mode & 0777, error);
    if (!entry)
        return error;
    ++entry->opens;
    if ((fi->flags & O_TRUNC) && entry->file->size() > 0)
        return entry->file->truncate(0);
    return 0;
}

int Layer::read(const std::string &name, fuse_file_info *, char *buffer, size_t size, off_t offset)
{
    if (name == controlName) {
        const std::string text =
            m_volume && m_volume->active() && !m_volume->closing() ? m_volume->mountPoint() + "\n" : std::string();
        if (offset >= off_t(text.size()))
            return 0;
        const size_t length = std::min(size, text.size() - size_t(offset));
        memcpy(buffer, text.data() + offset, length);
        return int(length);
    }
    const auto found = m_entries.find(name);
    if (found == m_entries.end() || !found->second.file)
        return -EBADF;
    return int(found->second.file->read(buffer, size, offset));
}

int Layer::controlWrite(const char *buffer, size_t size)
{
    std::string mountPoint(buffer, size);
    while (!mountPoint.empty() && (mountPoint.back() == '\n' || mountPoint.back() == '\0'))
        mountPoint.pop_back();
    if (mountPoint == "sync") {
        if (!m_volume || !m_volume->active())
            return int(size);
        const int error = m_volume->checkpoint();
        return error ? -error : int(size);
    }
    // A path, and nothing a path should not hold: a control character could name another place.
    const bool control = std::any_of(mountPoint.begin(), mountPoint.end(),
                                     [](char c) { return (unsigned char)c < 0x20 || c == 0x7f; });
    if (mountPoint.empty() || mountPoint[0] != '/' || control)
        return -EINVAL;
    if (m_volume && m_volume->active())
        return -EBUSY;
    int error = 0;
    Entry *entry = entryOf(imageName, 0, 0, error);
    if (!entry)
        return error;
    ++entry->opens; // the volume keeps the image open for good
    if (!m_volume)
        m_volume = std::make_unique<Ext4Volume>(*entry->file, m_lock);
    const int mounted = m_volume->mount(mountPoint, m_mountPoint + "/" + imageName);
    return mounted == 0 ? int(size) : mounted;
}

int Layer::write(const std::string &name, fuse_file_info *, const char *buffer, size_t size, off_t offset)
{
    if (name == controlName)
        return controlWrite(buffer, size);
    const auto found = m_entries.find(name);
    if (found == m_entries.end() || !found->second.file)
        return -EBADF;
    return int(found->second.file->write(buffer, size, offset));
}

int Layer::truncate(const std::string &name, off_t size)
{
    if (name == controlName)
        return 0;
    if (m_readOnly)
        return -EROFS;
    if (name == imageName) {
        if (const int error = waitForImage(O_RDWR))
            return error;
    }
    int error = 0;
    Entry *entry = entryOf(name, 0, 0, error);
    if (!entry)
        return error;
    const int result = entry->file->truncate(size);
    if (entry->opens == 0)
        m_entries.erase(name);
    return result;
}

int Layer::release(const std::string &name, fuse_file_info *)
{
    const auto found = m_entries.find(name);
    if (found == m_entries.end())
        return 0;
    if (--found->second.opens <= 0) {
        const int error = found->second.file ? found->second.file->flush() : 0;
        m_entries.erase(found);
        return error;
    }
    // The image stays open; a tool that closes it is done writing (the volume writes its own).
    if (name == imageName && found->second.file && !(m_volume && m_volume->active()))
        return found->second.file->flush();
    return 0;
}

int Layer::fsync(fuse_file_info *)
{
    for (auto &[name, entry] : m_entries) {
        if (!entry.file)
            continue;
        if (name == imageName && m_volume && m_volume->active())
            continue; // the volume writes the image itself
        if (const int error = entry.file->sync())
            return error;
    }
    return 0;
}

int Layer::unlink(const std::string &name)
{
    if (m_readOnly)
        return -EROFS;
    if (name == controlName || isHidden(name) || m_entries.count(name))
        return -EBUSY;
    return ::unlink(cipherPath(name).c_str()) == 0 ? 0 : -errno;
}

int Layer::statfs(struct statvfs *st)
{
    return statvfs(m_folder.c_str(), st) == 0 ? 0 : -errno;
}

int Layer::utimens(const std::string &name, const timespec times[2])
{
    if (name == controlName)
        return 0;
    return utimensat(AT_FDCWD, cipherPath(name).c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}
