// Names: links in folders, creating and removing nodes, symbolic links, renaming.

#include "Ext4Support.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace Ext4Support;

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
    return withRoomIn(dir, name, ino, [&] {
        const errcode_t appended = appendLink(dir, name, ino, fileType);
        return appended == EXT2_ET_DIR_NO_SPACE ? ext2fs_link(m_fs, dir, name, ino, fileType) : appended;
    });
}

// A new name goes after the last one of the folder's last block when it fits there: a folder
// filled one name after another never searches its earlier blocks for a gap, which is what
// ext2fs_link does, entry by entry, for every name. EXT2_ET_DIR_NO_SPACE when it does not fit
// (or the folder is indexed), and ext2fs_link finds a place.
errcode_t Ext4Volume::appendLink(ext2_ino_t dir, const char *name, ext2_ino_t ino, int fileType)
{
    ext2_inode_large inode;
    if (errcode_t error = ext2fs_read_inode_full(m_fs, dir, reinterpret_cast<ext2_inode *>(&inode), sizeof inode))
        return error;
    const uint64_t size = EXT2_I_SIZE(&inode);
    if ((inode.i_flags & (EXT2_INDEX_FL | EXT4_INLINE_DATA_FL)) || size < m_fs->blocksize ||
        size % m_fs->blocksize != 0)
        return EXT2_ET_DIR_NO_SPACE;
    blk64_t block = 0;
    if (ext2fs_bmap2(m_fs, dir, reinterpret_cast<ext2_inode *>(&inode), nullptr, 0, size / m_fs->blocksize - 1,
                     nullptr, &block) != 0 ||
        block == 0)
        return EXT2_ET_DIR_NO_SPACE;
    std::vector<char> buffer(m_fs->blocksize);
    if (errcode_t error = ext2fs_read_dir_block4(m_fs, block, buffer.data(), 0, dir))
        return error;
    // The usable part ends where the checksum entry starts.
    const unsigned end = m_fs->blocksize - (ext2fs_has_feature_metadata_csum(m_fs->super)
                                                ? unsigned(sizeof(ext2_dir_entry_tail))
                                                : 0u);
    unsigned offset = 0, last = 0, length = 0;
    while (offset < end) {
        auto *entry = reinterpret_cast<ext2_dir_entry *>(buffer.data() + offset);
        unsigned recordLength = 0;
        if (ext2fs_get_rec_len(m_fs, entry, &recordLength) != 0 || recordLength < 8 || recordLength % 4 != 0 ||
            offset + recordLength > end)
            return EXT2_ET_DIR_NO_SPACE;
        last = offset;
        length = recordLength;
        offset += recordLength;
    }
    if (offset != end)
        return EXT2_ET_DIR_NO_SPACE;
    auto *entry = reinterpret_cast<ext2_dir_entry *>(buffer.data() + last);
    const unsigned used = entry->inode ? EXT2_DIR_REC_LEN(ext2fs_dirent_name_len(entry)) : 0;
    const unsigned nameLength = unsigned(strlen(name));
    if (length - used < EXT2_DIR_REC_LEN(nameLength))
        return EXT2_ET_DIR_NO_SPACE;
    if (used > 0) {
        ext2fs_set_rec_len(m_fs, used, entry);
        entry = reinterpret_cast<ext2_dir_entry *>(buffer.data() + last + used);
    }
    ext2fs_set_rec_len(m_fs, length - used, entry);
    entry->inode = ino;
    ext2fs_dirent_set_name_len(entry, int(nameLength));
    ext2fs_dirent_set_file_type(entry, ext2fs_has_feature_filetype(m_fs->super) ? fileType : 0);
    memcpy(entry->name, name, nameLength);
    return ext2fs_write_dir_block4(m_fs, block, buffer.data(), 0, dir);
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
