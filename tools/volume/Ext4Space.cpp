// Where blocks come from and go back to: finding free room, setting host space aside, the changed
// bitmaps.

#include "Ext4Support.h"

#include <algorithm>
#include <cstring>

using namespace Ext4Support;

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
