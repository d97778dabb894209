// A file exerciser: one file, thousands of random writes, truncates and reads
// at offsets and sizes that cross page (4 KiB) and request (128 KiB) bounds,
// each read checked against an in-memory model and the base file checked at
// the end. With and without direct I/O and big writes, with libfuse
// splicing requests and replies (the data then moves through pipes and the
// file's descriptor), with no rules and with slowdowns firing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <tuple>

#include "mounted.h"

namespace {

constexpr std::size_t MAX_FILE = 1 << 20;

struct exerciser {
    std::mt19937 random;
    std::string model;
    int fd;
    int mismatches = 0;
    int operations = 0;

    std::size_t offset()
    {
        // Favour the bounds where requests and pages split.
        const std::size_t bounds[] = {4096, 131072, 65536, 12288};
        std::size_t at = random() % MAX_FILE;
        if (random() % 3 == 0)
            at = bounds[random() % 4] * (1 + random() % 4) - 16 + random() % 32;
        return at % MAX_FILE;
    }
    std::size_t length() { return 1 + random() % (random() % 4 == 0 ? 300000 : 9000); }

    void write_some()
    {
        const std::size_t at = offset();
        const std::size_t size = std::min(length(), MAX_FILE - at);
        std::string data(size, '\0');
        for (char &c : data)
            c = static_cast<char>('a' + random() % 26);
        const ssize_t written = pwrite(fd, data.data(), size, static_cast<off_t>(at));
        ASSERT_EQ(written, static_cast<ssize_t>(size)) << strerror(errno);
        if (model.size() < at + size)
            model.resize(at + size, '\0');  // a hole reads as zeros
        model.replace(at, size, data);
    }

    void truncate_some()
    {
        const std::size_t size = random() % MAX_FILE;
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0) << strerror(errno);
        model.resize(size, '\0');
    }

    void read_some()
    {
        const std::size_t at = offset();
        const std::size_t size = length();
        std::string data(size, '\0');
        const ssize_t got = pread(fd, data.data(), size, static_cast<off_t>(at));
        ASSERT_GE(got, 0) << strerror(errno);
        const std::string expected = at < model.size() ? model.substr(at, size) : "";
        if (data.substr(0, static_cast<std::size_t>(got)) != expected) {
            ++mismatches;
            ADD_FAILURE() << "read of " << size << " at " << at << " after " << operations
                          << " operations: got " << got << " bytes, expected "
                          << expected.size();
        }
    }

    void run(int count)
    {
        for (operations = 0; operations < count && !testing::Test::HasFatalFailure();
             ++operations) {
            const auto choice = random() % 10;
            if (choice < 5)
                write_some();
            else if (choice < 6)
                truncate_some();
            else
                read_some();
        }
    }
};

class Integrity
    : public testing::TestWithParam<std::tuple<const char *, bool>> {};

TEST_P(Integrity, EveryReadMatchesTheModel)
{
    const auto [options, slow] = GetParam();
    std::vector<std::string> mount_options = NO_CACHES;
    if (*options)
        mount_options.insert(mount_options.end(), {"-o", options});
    const std::string rules = slow ? "[errinj_slowdown]\nop_regexp = ^(read|write|truncate|ftruncate)$\n"
                                     "probability = 30\nduration = 20000\n"
                                   : "";
    mounted fs(mount_options, rules, 31);

    exerciser run{std::mt19937(2024), "", open(fs.at("file").c_str(), O_CREAT | O_RDWR, 0644)};
    ASSERT_NE(run.fd, -1);
    run.run(3000);
    EXPECT_EQ(fsync(run.fd), 0);
    EXPECT_EQ(close(run.fd), 0);
    EXPECT_EQ(run.mismatches, 0);
    EXPECT_TRUE(read_file(fs.base("file")) == run.model) << "the base file differs from the model";
    if (slow) {
        EXPECT_FALSE(lines_starting(fs.out(), "errinj_slowdown triggered").empty());
    }
    const int status = fs.unmount();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

INSTANTIATE_TEST_SUITE_P(
    Mounts, Integrity,
    testing::Combine(testing::Values("", "direct_io", "big_writes", "direct_io,big_writes",
                                     "direct_io,big_writes,splice_read,splice_write,splice_move"),
                     testing::Bool()));

}  // namespace
