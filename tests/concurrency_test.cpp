// Many threads check at once while the rule file is rewritten and re-read:
// the lock must keep every check whole; under keyed draws checks run side by
// side, and what must stay exact stays exact. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <xxhash.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "injection/draw_counts.h"
#include "injection/hook.h"
#include "support/capture.h"

namespace {

TEST(Concurrency, ChecksAndReloadsFromManyThreads)
{
    const temp_dir dir;
    mount_state.config_path = dir / "tavrin.conf";
    const char *const rule_files[] = {
        "[errinj_errno]\nprobability = 50\npath_regexp = /a\n[errinj_noop]\nprobability = 30\n",
        "[errinj_slowdown]\nprobability = 100\nduration = 1000\n",
        "",
        "[errinj_noop]\nop_regexp = ^(read|write)$\nprobability = 100\n",
    };
    write_file(mount_state.config_path, rule_files[0]);

    std::atomic<bool> bad_result{false};
    const captured_output printed = capture([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                const std::string path = dir.path() + (t % 2 ? "/a" : "/b");
                for (int i = 0; i < 400; ++i) {
                    const int32_t result = injection_check(path.c_str(), static_cast<fs_op>(i % FS_OP_COUNT));
                    if (result != 0 && result != INJECT_SKIP && result >= 0)
                        bad_result = true;
                }
            });
        }
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                write_file(mount_state.config_path, rule_files[i % 4]);
                EXPECT_EQ(injection_check(mount_state.config_path.c_str(), OP_WRITE), 0);
            }
        });
        for (std::thread &thread : threads)
            thread.join();
    });
    EXPECT_FALSE(bad_result);
    EXPECT_EQ(lines_starting(printed.out, "read configuration ").size(), 200u);
    rule_set_free(std::move(mount_state.rules));
}

struct keyed_mount {
    temp_dir dir;
    explicit keyed_mount(const std::string &rules)
    {
        mount_state.config_path = dir / "tavrin.conf";
        mount_state.keyed_draws = true;
        mount_state.quiet = true;
        write_file(mount_state.config_path, rules);
        capture([] { injection_reread(); });
    }
    ~keyed_mount()
    {
        capture([] {
            rule_set_free(std::move(mount_state.rules));
            injection_install_rules(nullptr);
        });
        mount_state.keyed_draws = false;
        mount_state.quiet = false;
    }
    const injection_rule &rule(std::size_t i) const { return mount_state.rules->rules[i]; }
};

// Every kind of rule in force, eight threads: after and count exact, a full
// disk's room spent exactly, no fire lost or doubled, and the lines of each
// check together; then a cut and reloads among the checks.
TEST(Concurrency, KeyedChecksSideBySideStayExact)
{
    keyed_mount mount("[errinj_errno.counted]\nop_regexp = ^read$\nprobability = 100\n"
                      "after = 100\ncount = 50\nerrno = EIO\n"
                      "[errinj_slowdown.zero]\nop_regexp = ^access$\nprobability = 100\n"
                      "duration = 0\n"
                      "[errinj_full_disk.room]\nop_regexp = ^truncate$\nprobability = 100\n"
                      "space = 100K\n"
                      "[errinj_short.half]\nop_regexp = ^write$\nprobability = 50\n"
                      "[errinj_corrupt.bits]\nop_regexp = ^write$\nprobability = 50\n"
                      "[errinj_noop.all]\nop_regexp = ^getattr$\nprobability = 100\n"
                      "[errinj_kill_caller.nobody]\nop_regexp = ^flush$\nprobability = 100\n"
                      "[errinj_power_cut.never]\nop_regexp = ^mkdir$\nprobability = 100\n"
                      "names = durable\n");
    std::atomic<int> refused{0}, bad{0};
    constexpr int THREADS = 8, CHECKS = 600;
    const captured_output printed = capture([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t)
            threads.emplace_back([&, t] {
                const std::string path = mount.dir / ("f" + std::to_string(t));
                const fs_op ops[] = {OP_READ, OP_ACCESS, OP_TRUNCATE, OP_WRITE, OP_GETATTR, OP_FLUSH};
                for (int i = 0; i < CHECKS; ++i) {
                    data_request request;
                    request.length = 4096;
                    request.new_size = 1000;
                    request.current_size = [] { return int64_t{0}; };
                    const fs_op op = ops[i % 6];
                    const int32_t result = injection_check(path.c_str(), op, request);
                    refused += op == OP_TRUNCATE && result == -ENOSPC;
                    bad += result > 0 && result != INJECT_SKIP;
                }
            });
        for (std::thread &thread : threads)
            thread.join();
    });
    const uint64_t reads = THREADS * CHECKS / 6, truncates = reads;
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(mount.rule(0).visits, uint64_t{THREADS * CHECKS});
    EXPECT_EQ(mount.rule(0).hits, reads);
    EXPECT_EQ(mount.rule(0).fires, 50u);
    EXPECT_EQ(lines_starting(printed.out, "errinj_errno.counted triggered").size(), 50u);
    EXPECT_EQ(refused, static_cast<int>(truncates - 102400 / 1000)) << "room spent inexactly";
    // Each check's lines together: a trigger line and what follows it.
    std::istringstream lines(printed.out);
    std::string line, previous;
    while (std::getline(lines, line)) {
        if (previous.rfind("errinj_errno.counted triggered", 0) == 0) {
            EXPECT_EQ(line.rfind("errno '", 0), 0u) << previous << " / " << line;
        }
        if (previous.rfind("start of 'access' slowdown", 0) == 0) {
            EXPECT_EQ(line.rfind("end of 'access' slowdown", 0), 0u) << previous << " / " << line;
        }
        previous = line;
    }

    // A cut and reloads among the checks: nothing races (ThreadSanitizer),
    // and the cut happens once.
    const captured_output cut = capture([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                const std::string path = mount.dir / ("g" + std::to_string(t));
                for (int i = 0; i < 300; ++i)
                    injection_check(path.c_str(), i == 150 ? OP_MKDIR : OP_READ);
            });
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i)
                injection_check(mount_state.config_path.c_str(), OP_GETATTR);
        });
        for (std::thread &thread : threads)
            thread.join();
    });
    EXPECT_GE(lines_starting(cut.out, "power cut: ").size(), 1u);
    EXPECT_EQ(lines_starting(cut.out, "power cut: ").size(),
              lines_starting(cut.out, "errinj_power_cut.never triggered").size());
}

// The keyed counts against a model of one map of (rule, operation, path)
// keys: threads visiting the same keys at once each get a number of their
// own, 0 to n - 1; and one at a time, the numbers are the model's across
// the point where the exact counts are full.
TEST(Concurrency, KeyedCountsNumberEveryVisitOnce)
{
    constexpr std::size_t RULES = 64, THREADS = 4, VISITS = 200;
    draw_counts side_by_side;
    std::vector<std::vector<uint64_t>> taken(THREADS);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < VISITS; ++i) {
                std::atomic<uint64_t> *found = side_by_side.find(i % 5, OP_READ, RULES);
                taken[t].push_back(
                    side_by_side.take(found, i % RULES, {i % RULES, i % 5, OP_READ}));
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    std::map<std::pair<std::size_t, std::size_t>, std::vector<uint64_t>> per_key;
    for (std::size_t t = 0; t < THREADS; ++t)
        for (std::size_t i = 0; i < VISITS; ++i)
            per_key[{i % 5, i % RULES}].push_back(taken[t][i]);
    for (auto &[key, numbers] : per_key) {
        std::sort(numbers.begin(), numbers.end());
        for (std::size_t n = 0; n < numbers.size(); ++n)
            ASSERT_EQ(numbers[n], n) << key.first << "/" << key.second;
    }

    draw_counts counts;
    std::map<std::array<uint64_t, 3>, uint64_t> exact;
    std::vector<uint64_t> shared(SHARED_DRAW_COUNTS);
    for (uint64_t path = 0; path < MAX_DRAW_KEYS / (RULES / 3); ++path)
        for (uint64_t visit = 0; visit < 2; ++visit)
            for (std::size_t rule = 0; rule < RULES; rule += 1 + path % 3) {
                const std::array<uint64_t, 3> key = {rule * 7919, path, OP_WRITE};
                uint64_t expected;
                if (exact.count(key) || exact.size() < MAX_DRAW_KEYS) {
                    expected = exact[key]++;
                } else {
                    expected = shared[XXH3_64bits(key.data(), sizeof key) % SHARED_DRAW_COUNTS]++;
                }
                std::atomic<uint64_t> *found = counts.find(path, OP_WRITE, RULES);
                ASSERT_EQ(counts.take(found, rule, {key[0], key[1], key[2]}), expected)
                    << path << "/" << rule;
            }
}

// A slowdown of one request does not hold back another: the other is done
// while the slowdown still sleeps.
TEST(Concurrency, AKeyedSlowdownHoldsBackOnlyItsOwnRequest)
{
    keyed_mount mount("[errinj_slowdown.slow]\npath_regexp = /slow$\nprobability = 100\n"
                      "duration = 3000000000\n");
    std::atomic<bool> slow_done{false}, fast_done{false};
    const captured_output printed = capture([&] {
        std::thread slow([&] {
            injection_check((mount.dir / "slow").c_str(), OP_READ);
            slow_done = true;
        });
        while (mount.rule(0).hits == 0)
            std::this_thread::yield();
        std::thread fast([&] {
            injection_check((mount.dir / "fast").c_str(), OP_READ);
            fast_done = true;
        });
        fast.join();
        EXPECT_FALSE(slow_done) << "the other request waited for the slowdown";
        slow.join();
    });
    EXPECT_TRUE(fast_done);
    EXPECT_NE(printed.out.find("end of 'read' slowdown"), std::string::npos);
}

}  // namespace
