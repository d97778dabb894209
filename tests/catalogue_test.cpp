// The catalogue: what pick_errno can hand back and how often.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>

#include "injection/catalogue.h"

namespace {

std::set<int> entries_of(fs_op op)
{
    const errno_list &list = errno_lists[op];
    return std::set<int>(list.entries, list.entries + list.count);
}

TEST(PickErrno, YieldsOnlyEntriesOfTheOperationsOwnList)
{
    srand(11);
    for (std::size_t id = 0; id < FS_OP_COUNT; ++id) {
        const fs_op op = static_cast<fs_op>(id);
        const std::set<int> allowed = entries_of(op);
        for (int i = 0; i < 200; ++i) {
            const int error = pick_errno(op);
            ASSERT_GT(error, 0) << op_names[op];
            ASSERT_TRUE(allowed.count(error)) << op_names[op] << " gave " << error;
        }
    }
    EXPECT_EQ(entries_of(OP_FSYNC), (std::set<int>{EBADF, EINVAL, EIO}));
}

TEST(PickErrno, MakesExactlyOneDrawAndIndexesByIt)
{
    srand(5);
    const int expected_index = rand() % static_cast<int>(errno_lists[OP_OPEN].count);
    const int next = rand();
    srand(5);
    EXPECT_EQ(pick_errno(OP_OPEN), errno_lists[OP_OPEN].entries[expected_index]);
    EXPECT_EQ(rand(), next);
}

// EPERM stands twice in the chmod/chown list; EFTYPE is there only where the
// platform has it.
TEST(PickErrno, DrawsTheDoubledEpermTwiceAsOften)
{
#ifdef EFTYPE
    const std::size_t expected_count = 11;
#else
    const std::size_t expected_count = 10;
#endif
    ASSERT_EQ(errno_lists[OP_CHMOD].count, expected_count);
    ASSERT_EQ(errno_lists[OP_CHOWN].entries, errno_lists[OP_CHMOD].entries);

    srand(1234);
    std::map<int, int> seen;
    const int picks = 110000;
    for (int i = 0; i < picks; ++i)
        ++seen[pick_errno(OP_CHMOD)];
    const double share = 1.0 / static_cast<double>(expected_count);
    for (const auto &[error, times] : seen) {
        const double expected = (error == EPERM ? 2 * share : share) * picks;
        EXPECT_NEAR(times, expected, expected * 0.05) << strerror(error);
    }
}

TEST(Catalogue, NamesOperationsAsRulesSpellThem)
{
    EXPECT_STREQ(op_names[OP_CREAT], "creat");
    EXPECT_STREQ(op_names[OP_LSTAT], "lstat");
    EXPECT_STREQ(op_names[OP_FGETATTR], "fgetattr");
    EXPECT_EQ(errno_lists[OP_FGETATTR].entries, errno_lists[OP_GETATTR].entries);
    EXPECT_EQ(errno_lists[OP_CREAT].entries, errno_lists[OP_OPEN].entries);
    EXPECT_EQ(errno_lists[OP_OPEN].entries[errno_lists[OP_OPEN].count - 1], EWOULDBLOCK);
}

}  // namespace
