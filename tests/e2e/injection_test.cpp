// Each kind of rule as a real program meets it through the mount, rules
// re-read while mounted, what the hook is shown, and replays from a seed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>

#include "injection/catalogue.h"
#include "mounted.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> with(std::vector<std::string> options)
{
    options.insert(options.begin(), NO_CACHES.begin(), NO_CACHES.end());
    return options;
}


void expect_clean_unmount(mounted &fs)
{
    const int status = fs.unmount();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << fs.err();
}

TEST(Rules, ErrnoRuleFailsReadsWithAnErrnoFromTheReadList)
{
    mounted fs(with({"-o", "direct_io"}),
               "[errinj_errno]\nop_regexp = ^read$\npath_regexp = /victim$\nprobability = 100\n");
    write_file(fs.base("victim"), "payload");
    write_file(fs.base("bystander"), "fine");

    const int fd = open(fs.at("victim").c_str(), O_RDONLY);
    ASSERT_NE(fd, -1);
    std::set<int> seen;
    for (int i = 0; i < 40; ++i) {
        char buf[16];
        ASSERT_EQ(read(fd, buf, sizeof buf), -1);
        seen.insert(errno);
    }
    close(fd);
    for (int error : seen)
        EXPECT_TRUE(in_errno_list(OP_READ, error)) << strerror(error);
    EXPECT_GT(seen.size(), 3u);
    EXPECT_EQ(read_file(fs.at("bystander")), "fine");

    const std::string trigger = "errinj_errno triggered on operation 'read', " + fs.base("victim");
    EXPECT_EQ(lines_starting(fs.out(), trigger).size(), 40u) << fs.out();
    EXPECT_EQ(lines_starting(fs.out(), "errno '").size(), 40u);
    expect_clean_unmount(fs);
}

TEST(Rules, KillRuleKillsTheCallerAndTheFilesystemLivesOn)
{
    mounted fs(NO_CACHES,
               "[errinj_kill_caller]\nop_regexp = ^open$\npath_regexp = \\.lock$\nprobability = 100\n");
    write_file(fs.base("db.lock"), "");
    const std::string lock_path = fs.at("db.lock");
    const int status = in_child([&] {
        open(lock_path.c_str(), O_RDWR);
        return 0;
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    write_file(fs.at("after"), "still serving");
    EXPECT_EQ(read_file(fs.base("after")), "still serving");
    EXPECT_EQ(lines_starting(fs.out(), "send signal " + std::string(strsignal(SIGKILL))).size(), 1u)
        << fs.out();
    expect_clean_unmount(fs);
}

TEST(Rules, SkippedWriteReportsNothingWrittenAndLeavesTheFile)
{
    mounted fs(with({"-o", "direct_io"}),
               "[errinj_noop]\nop_regexp = ^write$\nprobability = 100\n");
    write_file(fs.base("kept"), "original");
    const int fd = open(fs.at("kept").c_str(), O_WRONLY);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(pwrite(fd, "changed", 7, 0), 0);
    close(fd);
    EXPECT_EQ(read_file(fs.base("kept")), "original");
    expect_clean_unmount(fs);
}

// A slowdown delays its operation; the bound below is a lower one only.
TEST(Rules, SlowdownDelaysTheOperation)
{
    mounted fs(NO_CACHES, "[errinj_slowdown]\nop_regexp = ^getattr$\npath_regexp = /slow$\n"
                          "probability = 100\nduration = 300000000\n");
    write_file(fs.base("slow"), "");
    struct stat st;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(stat(fs.at("slow").c_str(), &st), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_FALSE(lines_starting(fs.out(), "end of 'getattr' slowdown with '300000000' ns").empty());
    expect_clean_unmount(fs);
}

// A skipped open leaves no descriptor in the handle: reads and writes fail
// with EBADF, fstat answers for the path, close succeeds, and descriptor 0 of
// the daemon is never touched. A skipped create reports the file missing.
TEST(Rules, SkippedOpensLeaveRecognisablyEmptyHandles)
{
    mounted fs(NO_CACHES, "[errinj_noop]\nop_regexp = ^(open|creat|opendir|readlink)$\n"
                          "probability = 100\n");
    write_file(fs.base("file"), "content");
    ASSERT_EQ(symlink("file", fs.base("link").c_str()), 0);

    const int fd = open(fs.at("file").c_str(), O_RDWR);
    ASSERT_NE(fd, -1);
    char buf[8];
    EXPECT_EQ(read(fd, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(write(fd, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 7);
    EXPECT_EQ(close(fd), 0);

    EXPECT_EQ(open(fs.at("new").c_str(), O_CREAT | O_WRONLY, 0644), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(access(fs.base("new").c_str(), F_OK), -1);

    EXPECT_EQ(readlink(fs.at("link").c_str(), buf, sizeof buf), 0);
    EXPECT_EQ(read_file(fs.base("file")), "content");
    expect_clean_unmount(fs);
}

TEST(Rules, RuleFileIsReReadWhileMounted)
{
    mounted fs(with({"-o", "direct_io"}));
    write_file(fs.base("data"), "data");
    EXPECT_EQ(read_file(fs.at("data")), "data");

    // Written through the mount: the close that follows the write re-reads it.
    write_file(fs.at("tavrin.conf"), "[errinj_errno]\nop_regexp = ^open$\nprobability = 100\n");
    EXPECT_EQ(open(fs.at("data").c_str(), O_RDONLY), -1);
    EXPECT_TRUE(in_errno_list(OP_OPEN, errno));

    // Changed behind the mount: any operation on its path re-reads it.
    write_file(fs.base("tavrin.conf"), "");
    struct stat st;
    ASSERT_EQ(stat(fs.at("tavrin.conf").c_str(), &st), 0);
    EXPECT_EQ(read_file(fs.at("data")), "data");
    EXPECT_GE(lines_starting(fs.out(), "read configuration " + fs.base("tavrin.conf")).size(), 3u);
    expect_clean_unmount(fs);
}

// symlink shows the hook its link text, rename and link their source only.
TEST(Rules, HookSeesLinkTextAndSourcePaths)
{
    mounted fs(NO_CACHES, "[errinj_errno]\nop_regexp = ^(symlink|rename|link)$\n"
                          "path_regexp = (^magic$|/from$)\nprobability = 100\n");
    write_file(fs.base("from"), "f");
    write_file(fs.base("other"), "o");

    EXPECT_EQ(symlink("magic", fs.at("plain-link").c_str()), -1);
    EXPECT_TRUE(in_errno_list(OP_SYMLINK, errno));
    EXPECT_EQ(symlink("elsewhere", fs.at("magic").c_str()), 0);

    EXPECT_EQ(link(fs.at("from").c_str(), fs.at("to").c_str()), -1);
    EXPECT_TRUE(in_errno_list(OP_LINK, errno));
    EXPECT_EQ(rename(fs.at("from").c_str(), fs.at("to").c_str()), -1);
    EXPECT_TRUE(in_errno_list(OP_RENAME, errno));
    EXPECT_EQ(rename(fs.at("other").c_str(), fs.at("from2").c_str()), 0);
    EXPECT_EQ(link(fs.at("from2").c_str(), fs.at("from").c_str()), -1);  // exists already
    EXPECT_EQ(errno, EEXIST);
    expect_clean_unmount(fs);
}

// Single-threaded, caches off, direct I/O and the same requests in the same
// order: the same seed gives the same faults and the same report.
TEST(Rules, SameSeedReplaysTheSameFaults)
{
    auto run = [](unsigned seed) {
        mounted fs(with({"-s", "-o", "direct_io"}),
                   "[errinj_errno]\nop_regexp = ^read$\nprobability = 50\n", seed);
        write_file(fs.base("data"), "0123456789");
        std::string outcome;
        const int fd = open(fs.at("data").c_str(), O_RDONLY);
        for (int i = 0; i < 60 && fd != -1; ++i) {
            char c;
            outcome += pread(fd, &c, 1, i % 10) == 1 ? std::string(1, c)
                                                      : "<" + std::to_string(errno) + ">";
        }
        close(fd);
        expect_clean_unmount(fs);
        // The base directory differs from run to run; the rest must not.
        std::string report;
        for (std::string line : lines_starting(fs.out(), "")) {
            if (line.find("triggered") == std::string::npos && line.find("errno") != 0)
                continue;
            if (const std::size_t at = line.find(fs.base()); at != std::string::npos)
                line.replace(at, fs.base().size(), "BASE");
            report += line + "\n";
        }
        return outcome + "\n" + report;
    };
    const std::string first = run(4242);
    EXPECT_EQ(first, run(4242));
    EXPECT_NE(first.find('<'), std::string::npos);
    EXPECT_NE(first, run(4243));
}

}  // namespace
