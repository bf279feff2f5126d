#include "BlockRanges.h"

#include <QTest>

#include <random>
#include <set>

// The daemon's sets of blocks (freed, waiting, set aside) against a plain set of numbers, under
// random inserts and erases: same members, same counts, runs apart and in order.
class TestBlockRanges : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void matchesAPlainSet()
    {
        std::mt19937 random(7);
        for (int round = 0; round < 500; ++round) {
            BlockRanges ranges;
            std::set<uint64_t> model;
            for (int step = 0; step < 60; ++step) {
                const uint64_t first = random() % 200, count = random() % 20;
                if (random() % 2) {
                    ranges.insert(first, count);
                    for (uint64_t block = first; block < first + count; ++block)
                        model.insert(block);
                } else {
                    ranges.erase(first, count);
                    for (uint64_t block = first; block < first + count; ++block)
                        model.erase(block);
                }
                QCOMPARE(ranges.count(), model.size());
                for (uint64_t block = 0; block < 230; ++block) {
                    const auto next = model.lower_bound(block);
                    QCOMPARE(ranges.firstFrom(block), next == model.end() ? UINT64_MAX : *next);
                }
                uint64_t previousEnd = 0;
                for (const auto &[start, end] : ranges.runs()) {
                    QVERIFY(start < end && (start == ranges.runs().begin()->first || start > previousEnd));
                    previousEnd = end;
                }
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestBlockRanges)
#include "tst_blockranges.moc"
