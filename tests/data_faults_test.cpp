// The rules that act on data: the short length drawn, the bytes altered and
// reported, and the room a full disk keeps across writes, truncates and
// removals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "support/hook_fixture.h"

namespace {

data_request transfer_of(uint64_t offset, uint64_t length, int64_t size = -1)
{
    data_request request;
    request.offset = offset;
    request.length = length;
    request.current_size = [size] { return size; };
    return request;
}

int32_t check_data(const char *path, fs_op op, data_request &request,
                   captured_output *printed = nullptr)
{
    int32_t result = 0;
    const captured_output seen = capture([&] { result = injection_check(path, op, request); });
    if (printed)
        *printed = seen;
    return result;
}

// One draw for the probability, one for the length: 1 to asked - 1, or to bytes.
TEST_F(Hook, ShortTransfersDrawTheirLength)
{
    use_rules("[errinj_short]\nprobability = 100\n");
    srand(12);
    rand();
    const uint64_t expected = 1 + static_cast<uint64_t>(rand()) % 4095;
    srand(12);
    data_request read = transfer_of(0, 4096);
    captured_output printed;
    EXPECT_EQ(check_data(READ_PATH, OP_READ, read, &printed), 0);
    EXPECT_EQ(read.move, expected);
    EXPECT_EQ(printed.out, std::string("errinj_short triggered on operation 'read', ") + READ_PATH +
                               "\ntransfer cut to " + std::to_string(expected) + " of 4096 bytes\n");

    use_rules("[errinj_short]\nprobability = 100\nbytes = 3\n");
    for (int i = 0; i < 200; ++i) {
        data_request write = transfer_of(0, 70000);
        check_data(READ_PATH, OP_WRITE, write);
        ASSERT_GE(write.move, 1u);
        ASSERT_LE(write.move, 3u);
    }

    // Nothing to cut: a one-byte read, an operation that moves no bytes.
    data_request one = transfer_of(0, 1);
    EXPECT_EQ(check_data(READ_PATH, OP_READ, one, &printed), 0);
    EXPECT_EQ(one.move, UINT64_MAX);
    EXPECT_EQ(printed.err, "errinj 'errinj_short' skipped: op (read) cannot be shortened\n");
    EXPECT_EQ(check(READ_PATH, OP_GETATTR, &printed), 0);
    EXPECT_EQ(printed.err, "errinj 'errinj_short' skipped: op (getattr) cannot be shortened\n");
}

// Exactly the reported offsets differ, each as its mode says.
TEST_F(Hook, CorruptionAltersExactlyWhatItReports)
{
    for (const char *mode : {"flip", "zero", "random"}) {
        use_rules(std::string("[errinj_corrupt.rot]\nprobability = 100\nbytes = 5\nmode = ") +
                  mode + "\n");
        const std::string original(300, '\x55');
        for (int round = 0; round < 20; ++round) {
            data_request read = transfer_of(1000, 4096);
            check_data(READ_PATH, OP_READ, read);
            std::string data = original;
            const captured_output printed =
                capture([&] { injection_corrupt(read, READ_PATH, data.data(), data.size(), 1000); });
            std::string offsets;
            for (std::size_t i = 0; i < data.size(); ++i) {
                if (data[i] == original[i])
                    continue;
                offsets += (offsets.empty() ? "" : ", ") + std::to_string(1000 + i);
                if (strcmp(mode, "flip") == 0) {
                    EXPECT_EQ(__builtin_popcount(static_cast<unsigned char>(data[i] ^ original[i])), 1);
                }
                if (strcmp(mode, "zero") == 0) {
                    EXPECT_EQ(data[i], 0);
                }
            }
            EXPECT_EQ(printed.out, "errinj_corrupt.rot altered offsets " + offsets + " of " +
                                       READ_PATH + "\n")
                << mode;
            EXPECT_EQ(std::count(offsets.begin(), offsets.end(), ','), 4) << mode;
        }
    }

    // Two rules on a transfer shorter than both together: they share out its
    // bytes, and the second finds none left (this once never returned).
    use_rules("[errinj_corrupt.a]\nprobability = 100\nbytes = 3\n"
              "[errinj_corrupt.b]\nprobability = 100\nbytes = 3\n");
    data_request read = transfer_of(0, 4096);
    check_data(READ_PATH, OP_READ, read);
    std::string data = "xy";
    const captured_output printed =
        capture([&] { injection_corrupt(read, READ_PATH, data.data(), data.size(), 0); });
    EXPECT_NE(data[0], 'x');
    EXPECT_NE(data[1], 'y');
    EXPECT_EQ(printed.out, std::string("errinj_corrupt.a altered offsets 0, 1 of ") + READ_PATH +
                               "\nerrinj_corrupt.b altered no offsets of " + READ_PATH + "\n");
}

TEST_F(Hook, FullDiskKeepsItsRoom)
{
    use_rules("[errinj_full_disk]\nprobability = 100\nspace = 10K\n");
    // 6 KiB of growth fits silently; rewriting old bytes takes no room.
    data_request grow = transfer_of(0, 6144, 0);
    captured_output printed;
    EXPECT_EQ(check_data(READ_PATH, OP_WRITE, grow, &printed), 0);
    EXPECT_EQ(grow.move, UINT64_MAX);
    EXPECT_EQ(printed.out, "");
    data_request rewrite = transfer_of(0, 6144, 6144);
    EXPECT_EQ(check_data(READ_PATH, OP_WRITE, rewrite), 0);
    EXPECT_EQ(rewrite.move, UINT64_MAX);

    // The next write takes what still fits; then nothing fits.
    data_request cut = transfer_of(6144, 8192, 6144);
    EXPECT_EQ(check_data(READ_PATH, OP_WRITE, cut, &printed), 0);
    EXPECT_EQ(cut.move, 4096u);
    EXPECT_NE(printed.out.find("transfer cut to 4096 of 8192 bytes\n"), std::string::npos);
    data_request none = transfer_of(10240, 1, 10240);
    EXPECT_EQ(check_data(READ_PATH, OP_WRITE, none, &printed), -ENOSPC);
    EXPECT_EQ(check(READ_PATH, OP_CREAT), -ENOSPC);
    EXPECT_EQ(check(READ_PATH, OP_MKDIR), -ENOSPC);
    data_request statfs;
    check_data(READ_PATH, OP_STATFS, statfs);
    EXPECT_EQ(statfs.room, 0u);

    // A shrink and a removal give room back; a truncate past it fails.
    data_request shrink;
    shrink.new_size = 2048;
    shrink.current_size = [] { return int64_t{10240}; };
    EXPECT_EQ(check_data(READ_PATH, OP_TRUNCATE, shrink), 0);
    data_request removal;
    removal.current_size = [] { return int64_t{1024}; };
    EXPECT_EQ(check_data(READ_PATH, OP_UNLINK, removal), 0);
    EXPECT_EQ(mount_state.rules->rules[0].room, 9216u);
    data_request extend;
    extend.new_size = 20000;
    extend.current_size = [] { return int64_t{0}; };
    EXPECT_EQ(check_data(READ_PATH, OP_FTRUNCATE, extend), -ENOSPC);
    EXPECT_EQ(check(READ_PATH, OP_CREAT), 0);
    // It took part in every check and caused a fault only where it cut or
    // refused: the write cut, the write, create, mkdir and extension refused.
    EXPECT_EQ(mount_state.rules->rules[0].fires, 5u);
    EXPECT_GT(mount_state.rules->rules[0].hits, 5u);

    // A reload starts from the whole space again.
    use_rules("[errinj_full_disk]\nprobability = 100\nspace = 10K\n");
    EXPECT_EQ(mount_state.rules->rules[0].room, 10240u);

    // Room given back to the largest space stays the largest, never wraps.
    use_rules("[errinj_full_disk]\nprobability = 100\nspace = 18446744073709551615\n");
    EXPECT_EQ(check_data(READ_PATH, OP_UNLINK, removal), 0);
    EXPECT_EQ(check_data(READ_PATH, OP_TRUNCATE, shrink), 0);
    EXPECT_EQ(mount_state.rules->rules[0].room, UINT64_MAX);
    data_request more = transfer_of(0, 1 << 20, 0);
    EXPECT_EQ(check_data(READ_PATH, OP_WRITE, more), 0);
    EXPECT_EQ(more.move, UINT64_MAX);
}

TEST(RuleSetLoad, DataKindsRefuseBadValues)
{
    const temp_dir dir;
    const std::string path = dir / "tavrin.conf";
    write_file(path, "[errinj_full_disk]\nspace = 3X\nspace = -1\nspace = 2G\n"
                     "[errinj_corrupt]\nmode = melt\nmode = zero\nspace = 1\n");
    rule_set_ptr set;
    const captured_output printed = capture([&] { set = rule_set_load(path.c_str()); });
    ASSERT_TRUE(set);
    EXPECT_EQ(set->rules[0].space, 2ull << 30);
    EXPECT_EQ(set->rules[1].mode, CORRUPT_ZERO);
    EXPECT_EQ(printed.err, "invalid size '3X' in configuration file\n"
                           "invalid size '-1' in configuration file\n"
                           "unknown mode 'melt' in configuration file\n"
                           "unknown option 'space' in configuration file\n");
}

}  // namespace
