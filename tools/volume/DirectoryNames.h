#pragma once

#include <ext2fs/ext2fs.h>

#include <string>
#include <unordered_map>

// The names of directories read lately, each as a whole: every change to a directory goes through
// this process, so a directory read once answers lookups from memory until it changes. Without
// it every lookup and every new name would read the whole directory again, checksums and all.
class DirectoryNames
{
public:
    using Names = std::unordered_map<std::string, ext2_ino_t>;

    // The names of a directory, read now when they are not known; nullptr when it cannot be read.
    const Names *of(ext2_filsys fs, ext2_ino_t dir)
    {
        if (const auto found = m_directories.find(dir); found != m_directories.end())
            return &found->second;
        Names names;
        const auto visit = [](ext2_ino_t, int, ext2_dir_entry *entry, int, int, char *, void *data) -> int {
            if (entry->inode)
                static_cast<Names *>(data)->emplace(std::string(entry->name, size_t(ext2fs_dirent_name_len(entry))),
                                                    entry->inode);
            return 0;
        };
        if (ext2fs_dir_iterate2(fs, dir, 0, nullptr, visit, &names) != 0)
            return nullptr;
        // Bounded: a volume of huge directories reads them again rather than hold them all.
        if (m_count + names.size() > maxNames)
            clear();
        m_count += names.size();
        return &(m_directories[dir] = std::move(names));
    }

    void added(ext2_ino_t dir, const std::string &name, ext2_ino_t ino)
    {
        if (const auto found = m_directories.find(dir); found != m_directories.end()) {
            m_count += found->second.insert_or_assign(name, ino).second ? 1 : 0;
        }
    }
    void removed(ext2_ino_t dir, const std::string &name)
    {
        if (const auto found = m_directories.find(dir); found != m_directories.end())
            m_count -= found->second.erase(name);
    }
    // A directory whose names are no longer known for sure, or that is gone.
    void forget(ext2_ino_t dir)
    {
        if (const auto found = m_directories.find(dir); found != m_directories.end()) {
            m_count -= found->second.size();
            m_directories.erase(found);
        }
    }
    void clear()
    {
        m_directories.clear();
        m_count = 0;
    }

private:
    static constexpr size_t maxNames = 1 << 20;
    std::unordered_map<ext2_ino_t, Names> m_directories;
    size_t m_count = 0;
};
