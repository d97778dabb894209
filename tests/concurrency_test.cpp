// Many threads check at once while the rule file is rewritten and re-read:
// the lock must keep every check whole. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

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

}  // namespace
