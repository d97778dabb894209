// Every shipped example rule file, mounted and met by a real program.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "injection/catalogue.h"
#include "mounted.h"

namespace {

using namespace std::chrono_literals;

std::string example(const std::string &name)
{
    return read_file(std::string(EXAMPLES_DIR) + "/" + name);
}

std::vector<std::string> caches_off_direct()
{
    std::vector<std::string> options = NO_CACHES;
    options.insert(options.end(), {"-o", "direct_io"});
    return options;
}


void expect_clean_unmount(mounted &fs)
{
    const int status = fs.unmount();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Examples, FlakyDiskFailsSomeReadsUnderData)
{
    mounted fs(caches_off_direct(), example("flaky-disk.conf"), 7);
    ASSERT_EQ(mkdir(fs.base("data").c_str(), 0755), 0);
    write_file(fs.base("data/table"), "rows");
    write_file(fs.base("elsewhere"), "fine");
    int failures = 0;
    const int fd = open(fs.at("data/table").c_str(), O_RDONLY);
    ASSERT_NE(fd, -1);
    for (int i = 0; i < 500; ++i) {
        char buf[4];
        if (pread(fd, buf, sizeof buf, 0) == -1) {
            ++failures;
            EXPECT_TRUE(in_errno_list(OP_READ, errno)) << strerror(errno);
        }
    }
    close(fd);
    EXPECT_GT(failures, 0);
    EXPECT_LT(failures, 60);
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(read_file(fs.at("elsewhere")), "fine");
    expect_clean_unmount(fs);
}

TEST(Examples, SlowFsyncDelaysEverySync)
{
    mounted fs(NO_CACHES, example("slow-fsync.conf"));
    const int fd = open(fs.at("journal").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_NE(fd, -1);
    for (auto sync : {fsync, fdatasync}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(sync(fd), 0);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    }
    close(fd);
    expect_clean_unmount(fs);
}

TEST(Examples, FullDiskRefusesWritesAndCreatesUnderFull)
{
    mounted fs(caches_off_direct(), example("full-disk.conf"));
    ASSERT_EQ(mkdir(fs.base("full").c_str(), 0755), 0);
    write_file(fs.base("full/old"), "old data");

    EXPECT_EQ(open(fs.at("full/new").c_str(), O_CREAT | O_WRONLY, 0644), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(mkdir(fs.at("full/dir").c_str(), 0755), -1);
    EXPECT_EQ(errno, ENOSPC);
    const int fd = open(fs.at("full/old").c_str(), O_WRONLY);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(pwrite(fd, "new", 3, 0), -1);
    EXPECT_EQ(errno, ENOSPC);
    close(fd);
    EXPECT_EQ(read_file(fs.at("full/old")), "old data");
    EXPECT_EQ(unlink(fs.at("full/old").c_str()), 0);
    write_file(fs.at("roomy"), "written");
    EXPECT_EQ(read_file(fs.base("roomy")), "written");
    expect_clean_unmount(fs);
}

TEST(Examples, ThirdWriteFailsAndNoOther)
{
    mounted fs(caches_off_direct(), example("third-write.conf"));
    const int fd = open(fs.at("log").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_NE(fd, -1);
    std::vector<int> results;
    for (int i = 0; i < 5; ++i)
        results.push_back(static_cast<int>(write(fd, "x", 1)));
    close(fd);
    EXPECT_EQ(results, (std::vector<int>{1, 1, -1, 1, 1}));
    EXPECT_EQ(read_file(fs.base("log")), "xxxx");
    expect_clean_unmount(fs);
}

TEST(Examples, OnlyTheDatabaseServerIsHit)
{
    mounted fs(caches_off_direct(), example("only-the-database.conf"));
    ASSERT_EQ(mkdir(fs.base("db").c_str(), 0755), 0);
    write_file(fs.base("db/table"), "rows");
    const std::string table = fs.at("db/table");
    auto failed_reads = [&](const char *name) {
        const int status = in_child([&] {
            prctl(PR_SET_NAME, name);
            int failures = 0;
            const int fd = open(table.c_str(), O_RDONLY);
            for (int i = 0; i < 100; ++i) {
                char buf[4];
                failures += pread(fd, buf, sizeof buf, 0) == -1 ? 1 : 0;
            }
            return failures;
        });
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(failed_reads("harness"), 0);
    EXPECT_GT(failed_reads("dbserver"), 5);
    expect_clean_unmount(fs);
}

TEST(Examples, DataFaultsOnShortReadsBitRotAndAFillingDisk)
{
    {
        mounted fs(caches_off_direct(), example("short-reads.conf"));
        ASSERT_EQ(mkdir(fs.base("data").c_str(), 0755), 0);
        write_file(fs.base("data/f"), std::string(10000, 'x'));
        const int fd = open(fs.at("data/f").c_str(), O_RDONLY);
        char buf[10000];
        EXPECT_LT(read(fd, buf, sizeof buf), 10000);
        close(fd);
        EXPECT_EQ(read_file(fs.at("data/f")).size(), 10000u);  // a looping reader
        expect_clean_unmount(fs);
    }
    {
        mounted fs(caches_off_direct(), example("bit-rot.conf"));
        ASSERT_EQ(mkdir(fs.base("data").c_str(), 0755), 0);
        write_file(fs.base("data/f"), std::string(1000, 'x'));
        int rotten = 0;
        for (int i = 0; i < 100; ++i)
            rotten += read_file(fs.at("data/f")) != std::string(1000, 'x') ? 1 : 0;
        EXPECT_GT(rotten, 0);
        EXPECT_LT(rotten, 40);
        EXPECT_EQ(read_file(fs.base("data/f")), std::string(1000, 'x'));
        expect_clean_unmount(fs);
    }
    {
        mounted fs(caches_off_direct(), example("disk-fills.conf"));
        const int fd = open(fs.at("big").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_NE(fd, -1);
        const std::string block(1 << 20, 'b');
        ssize_t written = 0, last = 0;
        while ((last = write(fd, block.data(), block.size())) > 0)
            written += last;
        EXPECT_EQ(errno, ENOSPC);
        close(fd);
        EXPECT_EQ(written, 10 << 20);
        expect_clean_unmount(fs);
    }
}

TEST(Examples, PowerCutLosesWhatWasNeverSynced)
{
    mounted fs(caches_off_direct(), example("power-cut.conf"), 3);
    const std::string db = fs.at("db"), mount = fs.mount();
    const int status = in_child([&] {
        const int fd = open(db.c_str(), O_CREAT | O_RDWR, 0644);
        // The new name is durable once its directory is synced.
        const int dir = open(mount.c_str(), O_RDONLY | O_DIRECTORY);
        if (write(fd, "synced", 6) != 6 || fsync(fd) != 0 || fsync(dir) != 0)
            return 1;
        // Appends until the cut kills us.
        for (int i = 0; i < 100000; ++i)
            if (write(fd, "x", 1) != 1)
                return 2;
        return 3;
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(read_file(fs.base("db")), "synced");
    EXPECT_EQ(open(fs.at("other").c_str(), O_CREAT | O_WRONLY, 0644), -1);  // the power is off
    EXPECT_EQ(errno, EIO);
    expect_clean_unmount(fs);
}

TEST(Examples, LyingDurabilityReportsSkippedSyncsAsDone)
{
    mounted fs(NO_CACHES, example("lying-durability.conf"));
    const int fd = open(fs.at("wal").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(write(fd, "commit", 6), 6);
    EXPECT_EQ(fsync(fd), 0);
    EXPECT_EQ(fdatasync(fd), 0);
    close(fd);
    EXPECT_EQ(lines_starting(fs.out(), "errinj_noop triggered on operation 'fsync', " +
                                           fs.base("wal")).size(), 2u)
        << fs.out();
    expect_clean_unmount(fs);
}

TEST(Examples, CrashOnLockKillsWhoeverOpensALockFile)
{
    mounted fs(NO_CACHES, example("crash-on-lock.conf"));
    write_file(fs.base("db.lock"), "");
    const std::string lock = fs.at("db.lock"), data = fs.at("db");
    const int killed = in_child([&] {
        open(lock.c_str(), O_RDWR);
        return 0;
    });
    EXPECT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL) << killed;
    const int survived = in_child([&] {
        const int fd = open(data.c_str(), O_CREAT | O_RDWR, 0644);
        return fd == -1 ? 1 : 0;
    });
    EXPECT_TRUE(WIFEXITED(survived) && WEXITSTATUS(survived) == 0);
    expect_clean_unmount(fs);
}

TEST(Examples, ChangingRulesMoveTheFaultsWhileMounted)
{
    mounted fs(caches_off_direct(), example("changing-before.conf"));
    ASSERT_EQ(mkdir(fs.base("logs").c_str(), 0755), 0);
    write_file(fs.base("logs/app.log"), "line\n");
    int fd = open(fs.at("logs/app.log").c_str(), O_RDWR);
    ASSERT_NE(fd, -1);
    char buf[8];
    EXPECT_EQ(pread(fd, buf, sizeof buf, 0), -1);

    write_file(fs.base("tavrin.conf"), example("changing-after.conf"));
    struct stat st;
    ASSERT_EQ(stat(fs.at("tavrin.conf").c_str(), &st), 0);
    EXPECT_EQ(pread(fd, buf, sizeof buf, 0), 5);
    EXPECT_EQ(pwrite(fd, "lost", 4, 0), 4);  // written = all: acknowledged, never stored
    close(fd);
    EXPECT_EQ(read_file(fs.base("logs/app.log")), "line\n");
    expect_clean_unmount(fs);
}

// The replacement of a file by "write a temporary, rename it over, sync the
// directory", cut after the directory sync: without a sync of the
// temporary's data the file is left empty, with one it holds the new content.
TEST(Examples, ReplacingAFileNeedsItsDataSyncedBeforeTheRename)
{
    const std::string dir = std::string(EXAMPLES_DIR) + "/replace-file";
    for (const std::string variant : {"buggy", "fixed"}) {
        const temp_dir base;
        write_file(base / "data", "old content\n");
        const int status = in_child([&] {
            freopen("/dev/null", "w", stderr);
            exec_or_exit({TAVRIN_RUN_BINARY, "-rules=" + dir + "/tavrin.conf", base.path(), "--",
                          "/bin/sh", dir + "/replace.sh", variant},
                         126);
            return 126;
        });
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGKILL) << status;
        const int checked = in_child([&] {
            freopen("/dev/null", "w", stdout);
            exec_or_exit({"/bin/sh", dir + "/check.sh", base.path()}, 126);
            return 126;
        });
        EXPECT_EQ(WEXITSTATUS(checked), variant == "buggy" ? 1 : 0) << variant;
        EXPECT_EQ(read_file(base / "data"), variant == "buggy" ? "" : "new content\n") << variant;
    }
}

// One power failure across a cluster: three etcd members on their own
// mounts, all cut at one instant, then restarted. etcd as it ships loses
// nothing acknowledged, nor does a cluster of which one member lost its
// power; disks that lie about fsync lose acknowledged keys.
TEST(Examples, AClusterCutAtOneInstantKeepsWhatItAcknowledged)
{
    if (system("command -v etcd >/dev/null && command -v etcdctl >/dev/null") != 0)
        GTEST_SKIP() << "etcd is not installed (Debian: etcd-server, etcd-client)";
    const std::string build = std::string(TAVRIN_BINARY).substr(0, std::string(TAVRIN_BINARY).rfind('/'));
    for (const std::string mode : {"durable", "unsafe", "one"}) {
        const temp_dir work;
        const std::string printed = work / "out";
        const int status = in_child(
            [&] {
                freopen(printed.c_str(), "w", stdout);
                freopen((work / "err").c_str(), "w", stderr);
                setenv("TAVRIN_BUILD", build.c_str(), 1);
                exec_or_exit({"/bin/bash", std::string(EXAMPLES_DIR) + "/cluster/run.sh", mode}, 126);
                return 126;
            },
            180s);
        const std::string out = read_file(printed) + read_file(work / "err");
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << mode << " " << status << " " << out;
        unsigned acknowledged = 0, lost = 0;
        ASSERT_EQ(sscanf(out.substr(out.rfind("acknowledged")).c_str(), "acknowledged %u, lost %u",
                         &acknowledged, &lost), 2) << out;
        EXPECT_GE(acknowledged, 1u) << mode;
        if (mode == "unsafe")
            EXPECT_GT(lost, 0u) << out;
        else
            EXPECT_EQ(lost, 0u) << mode << " " << out;
    }
}

}  // namespace
