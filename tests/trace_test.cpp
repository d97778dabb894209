// The trace as the engine writes it: a golden run of loads, fires and
// summaries, paths that are no UTF-8, and keyed draws that depend on the
// rule, the operation, the path and its own count, not on other paths' work.
#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>

#include "support/hook_fixture.h"
#include "trace/trace.h"

namespace {

class Traced : public Hook {
protected:
    void SetUp() override
    {
        Hook::SetUp();
        ASSERT_TRUE(trace_open(trace_path_.c_str()));
    }
    void TearDown() override
    {
        trace_close();
        mount_state.keyed_draws = 0;
        Hook::TearDown();
    }

    // The trace so far, with its times and the test's own directory masked.
    std::string trace() const
    {
        std::string text = read_file(trace_path_);
        const std::string key = "\"time_ns\":";
        for (std::size_t at = 0; (at = text.find(key, at)) != std::string::npos;) {
            at += key.size();
            const std::size_t digits = text.find_first_not_of("0123456789", at);
            text.replace(at, digits - at, "T");
        }
        for (std::size_t at; (at = text.find(dir_.path())) != std::string::npos;)
            text.replace(at, dir_.path().size(), "@DIR@");
        return text;
    }

    std::string trace_path_ = dir_ / "trace.jsonl";
};

TEST_F(Traced, GoldenRunOfLoadsFiresAndSummaries)
{
    write_file(mount_state.config_path,
               "[errinj_errno.r]\nop_regexp = ^read$\nprobability = 100\nerrno = EIO\ncount = 1\n"
               "[errinj_noop]\npath_regexp = ^/never/\nprobability = 100\n"
               "[errinj_slowdown.s]\nop_regexp = ^fsync$\nprobability = 100\nduration = 5\n");
    srand(4);
    check(mount_state.config_path.c_str(), OP_GETATTR);  // loads, as a re-read does
    check("/srv/a", OP_READ);
    check("/srv/a", OP_READ);
    check("/srv/b\xff", OP_FSYNC);
    check(mount_state.config_path.c_str(), OP_GETATTR);  // the summary of the set let go
    EXPECT_EQ(trace(), read_file(std::string(TEST_DATA_DIR) + "/golden.trace"));
}

// Keyed, a path's decisions follow from its own checks: other paths' work in
// between changes nothing, while the one rand() sequence does change.
TEST_F(Traced, KeyedDrawsIgnoreOtherPathsWork)
{
    const std::string rules = "[errinj_errno]\nprobability = 40\nerrno = EIO ENOSPC EDQUOT\n";
    auto decisions_for_a = [&](bool keyed, int others_between) {
        mount_state.keyed_draws = keyed;
        use_rules(rules);
        srand(9);
        std::vector<int32_t> seen;
        for (int i = 0; i < 200; ++i) {
            seen.push_back(check("/srv/a", OP_READ));
            for (int j = 0; j < others_between; ++j)
                check("/srv/other", j % 2 ? OP_READ : OP_WRITE);
        }
        return seen;
    };
    EXPECT_EQ(decisions_for_a(true, 0), decisions_for_a(true, 3));
    EXPECT_NE(decisions_for_a(false, 0), decisions_for_a(false, 3));
    // The seed still decides.
    mount_state.seed = 1;
    const auto with_one = decisions_for_a(true, 0);
    mount_state.seed = 2;
    EXPECT_NE(decisions_for_a(true, 0), with_one);
    mount_state.seed = 0;
}

}  // namespace
