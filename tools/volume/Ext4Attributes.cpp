// Extended attributes, kept in the inode and its attribute block by libext2fs.

#include "Ext4Support.h"

#include <cstring>
#include <sys/xattr.h>

using namespace Ext4Support;

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
