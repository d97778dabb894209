// Replay that survives threads: with -draws=keyed each file's decisions
// follow from the seed and its own operations, however the workload's
// processes and the mount's threads interleave; and the trace a killed
// daemon leaves is whole up to its last event.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "mounted.h"

namespace {

constexpr int FILES = 4;
constexpr int READS = 40;

// What each file's reader saw, read by read: 0 or the errno.
using outcomes = std::vector<std::vector<int>>;

// One process per file reads it READS times; order says how the processes
// are started: one after the other in either order, or all at once.
enum class order { forward, backward, together };

outcomes run_readers(const std::string &draws, order how)
{
    mounted fs({"-o", "attr_timeout=0,entry_timeout=0,negative_timeout=0,direct_io",
                "-draws=" + draws},
               "[errinj_errno]\nop_regexp = ^read$\nprobability = 30\n"
               "errno = EIO ENOSPC EINTR EAGAIN\n",
               77);
    const temp_dir results;
    for (int f = 0; f < FILES; ++f)
        write_file(fs.base("file" + std::to_string(f)), "content");
    auto reader = [&](int f) {
        fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            std::string seen;
            const int fd = open(fs.at("file" + std::to_string(f)).c_str(), O_RDONLY);
            for (int i = 0; i < READS; ++i) {
                char buf[8];
                seen += std::to_string(pread(fd, buf, sizeof buf, 0) == -1 ? errno : 0) + " ";
            }
            close(fd);
            write_file(results / std::to_string(f), seen);
            _exit(0);
        }
        return child;
    };
    std::vector<pid_t> children;
    for (int i = 0; i < FILES; ++i) {
        const int f = how == order::backward ? FILES - 1 - i : i;
        children.push_back(reader(f));
        if (how != order::together) {
            EXPECT_EQ(reap(children.back(), std::chrono::milliseconds(30000)), 0);
        }
    }
    for (pid_t child : children)
        reap(child, std::chrono::milliseconds(30000));
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);

    outcomes seen(FILES);
    for (int f = 0; f < FILES; ++f) {
        std::istringstream numbers(read_file(results / std::to_string(f)));
        for (int error; numbers >> error;)
            seen[static_cast<std::size_t>(f)].push_back(error);
    }
    return seen;
}

TEST(Replay, KeyedDrawsGiveEachFileItsDecisionsWhateverTheInterleaving)
{
    const outcomes forward = run_readers("keyed", order::forward);
    ASSERT_EQ(forward[0].size(), static_cast<std::size_t>(READS));
    EXPECT_EQ(run_readers("keyed", order::backward), forward);
    EXPECT_EQ(run_readers("keyed", order::together), forward);
    // The one sequence of draws follows the global order of requests.
    EXPECT_NE(run_readers("sequence", order::forward), run_readers("sequence", order::backward));
}

TEST(Trace, KilledDaemonLeavesWholeLines)
{
    const temp_dir work;
    const std::string trace = work / "trace.jsonl";
    mounted fs({"-o", "direct_io", "-trace=" + trace},
               "[errinj_errno]\nop_regexp = ^read$\nprobability = 50\n");
    write_file(fs.base("a"), "x");
    for (int i = 0; i < 200; ++i)
        read_file(fs.at("a"));
    fs.stop_with(SIGKILL);

    std::istringstream lines(read_file(trace));
    int fires = 0, events = 0;
    std::string line, last_event;
    while (std::getline(lines, line)) {
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(event.is_discarded()) << line;
        ASSERT_TRUE(event.contains("time_ns"));
        ++events;
        last_event = event["event"];
        fires += last_event == "fire" ? 1 : 0;
    }
    EXPECT_GT(fires, 20);
    EXPECT_NE(last_event, "end");  // killed: no summary, no end
    EXPECT_EQ(static_cast<std::size_t>(fires),
              lines_starting(fs.out(), "errinj_errno triggered").size());
}

}  // namespace
