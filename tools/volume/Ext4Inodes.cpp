// Inodes: reading and writing them, the replies that describe them, sizes and attributes, and
// giving an inode and its blocks back.

#include "Ext4Support.h"

#include <algorithm>
#include <cstring>

using namespace Ext4Support;

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
