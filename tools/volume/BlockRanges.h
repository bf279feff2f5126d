#pragma once

#include <algorithm>
#include <cstdint>
#include <map>

// A set of block numbers kept as disjoint runs.
class BlockRanges
{
public:
    void insert(uint64_t first, uint64_t count)
    {
        if (count == 0)
            return;
        uint64_t end = first + count;
        auto it = m_runs.upper_bound(first);
        if (it != m_runs.begin() && std::prev(it)->second >= first)
            --it;
        while (it != m_runs.end() && it->first <= end) {
            first = std::min(first, it->first);
            end = std::max(end, it->second);
            m_count -= it->second - it->first;
            it = m_runs.erase(it);
        }
        m_runs.emplace(first, end);
        m_count += end - first;
    }

    void erase(uint64_t first, uint64_t count)
    {
        if (count == 0)
            return;
        const uint64_t end = first + count;
        auto it = m_runs.upper_bound(first);
        if (it != m_runs.begin() && std::prev(it)->second > first)
            --it;
        while (it != m_runs.end() && it->first < end) {
            const uint64_t runFirst = it->first, runEnd = it->second;
            m_count -= runEnd - runFirst;
            it = m_runs.erase(it);
            if (runFirst < first) {
                m_runs.emplace(runFirst, first);
                m_count += first - runFirst;
            }
            if (runEnd > end) {
                m_runs.emplace(end, runEnd);
                m_count += runEnd - end;
                break;
            }
        }
    }

    [[nodiscard]] bool contains(uint64_t block) const { return firstFrom(block) == block; }

    // The first block of the set at or after block; UINT64_MAX when there is none.
    [[nodiscard]] uint64_t firstFrom(uint64_t block) const
    {
        auto it = m_runs.upper_bound(block);
        if (it != m_runs.begin() && std::prev(it)->second > block)
            return block;
        return it == m_runs.end() ? UINT64_MAX : it->first;
    }

    // The end of the run holding block, or block itself when it is not in the set.
    [[nodiscard]] uint64_t endOfRun(uint64_t block) const
    {
        auto it = m_runs.upper_bound(block);
        if (it != m_runs.begin() && std::prev(it)->second > block)
            return std::prev(it)->second;
        return block;
    }

    [[nodiscard]] bool empty() const { return m_runs.empty(); }
    [[nodiscard]] uint64_t count() const { return m_count; }
    void clear()
    {
        m_runs.clear();
        m_count = 0;
    }
    // (first, end) of each run, in order.
    [[nodiscard]] const std::map<uint64_t, uint64_t> &runs() const { return m_runs; }

private:
    std::map<uint64_t, uint64_t> m_runs; // first block to the end of its run
    uint64_t m_count = 0;
};
