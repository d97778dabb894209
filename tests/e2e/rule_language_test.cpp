// The rule language as real callers meet it through a mount: errno lists,
// the third write that fails whatever the seed, rules aimed at one program.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "mounted.h"

namespace {

std::vector<std::string> with(std::vector<std::string> options)
{
    options.insert(options.begin(), NO_CACHES.begin(), NO_CACHES.end());
    return options;
}

// The errno of each of n one-byte writes at offset 0 (0 for a success).
std::vector<int> write_errors(const std::string &path, int n)
{
    std::vector<int> errors;
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd == -1)
        return errors;
    for (int i = 0; i < n; ++i)
        errors.push_back(pwrite(fd, "x", 1, 0) == 1 ? 0 : errno);
    close(fd);
    return errors;
}

TEST(RuleLanguage, CallersSeeTheNamedErrnosInTheirWeights)
{
    mounted fs(with({"-o", "direct_io"}),
               "[errinj_errno.wal]\nop_regexp = ^write$\npath_regexp = /wal$\nprobability = 100\n"
               "errno = EIO EIO ENOSPC\n"
               "[errinj_errno.sync]\nop_regexp = ^fsync$\nprobability = 100\nerrno = ENOSYS\n");
    write_file(fs.base("wal"), "");
    std::map<int, int> tally;
    for (int error : write_errors(fs.at("wal"), 300))
        ++tally[error];
    EXPECT_EQ(tally.size(), 2u);
    EXPECT_GT(tally[EIO], tally[ENOSPC]);
    EXPECT_GT(tally[ENOSPC], 50);

    // ENOSYS was refused, so fsync draws from its own list and still fails:
    // the kernel never learns to skip it.
    const int fd = open(fs.at("wal").c_str(), O_WRONLY);
    ASSERT_NE(fd, -1);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(fsync(fd), -1);
        EXPECT_NE(errno, ENOSYS);
        EXPECT_TRUE(in_errno_list(OP_FSYNC, errno)) << strerror(errno);
    }
    close(fd);
    EXPECT_NE(fs.err().find("errno 'ENOSYS' refused"), std::string::npos) << fs.err();
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

TEST(RuleLanguage, TheThirdWriteFailsWhateverTheSeed)
{
    for (unsigned seed : {1u, 99u}) {
        mounted fs(mount_settings{with({"-o", "direct_io"}),
                                  "[errinj_errno]\nop_regexp = ^write$\nprobability = 100\n"
                                  "after = 2\ncount = 1\nerrno = EIO\n",
                                  seed,
                                  {}});
        write_file(fs.base("db"), "");
        EXPECT_EQ(write_errors(fs.at("db"), 6), (std::vector<int>{0, 0, EIO, 0, 0, 0})) << seed;
        EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
    }
}

// Two programs read one file; only the one named by process_regexp fails.
TEST(RuleLanguage, OnlyTheNamedProcessIsHit)
{
    mounted fs(with({"-o", "direct_io", "-quiet"}),
               "[errinj_errno.db]\nop_regexp = ^read$\nprocess_regexp = ^dbserver$\n"
               "probability = 100\nerrno = EIO\n");
    write_file(fs.base("table"), "rows");
    const std::string table = fs.at("table");
    auto reader_named = [&](const char *name) {
        return in_child([&] {
            prctl(PR_SET_NAME, name);
            const int fd = open(table.c_str(), O_RDONLY);
            char buf[8];
            const ssize_t got = read(fd, buf, sizeof buf);
            return got == 4 ? 0 : errno;
        });
    };
    const int harness = reader_named("harness");
    EXPECT_TRUE(WIFEXITED(harness) && WEXITSTATUS(harness) == 0) << harness;
    const int database = reader_named("dbserver");
    EXPECT_TRUE(WIFEXITED(database) && WEXITSTATUS(database) == EIO) << database;
    EXPECT_EQ(fs.err(), "");  // -quiet
    EXPECT_EQ(lines_starting(fs.out(), "errinj_errno.db triggered on operation 'read'").size(), 1u)
        << fs.out();
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

}  // namespace
