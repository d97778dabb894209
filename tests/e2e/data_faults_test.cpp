// Faults in the data as real programs meet them: a reader that does not loop
// loses bytes to short reads, cmp finds exactly the offsets a corruption
// rule reports, and dd fills a small disk to a short write, then ENOSPC.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <sstream>

#include "mounted.h"

namespace {

std::vector<std::string> direct()
{
    std::vector<std::string> options = NO_CACHES;
    options.insert(options.end(), {"-o", "direct_io"});
    return options;
}

// A shell command's standard output and exit status, within a time bound.
std::string shell(const std::string &command, int *status = nullptr)
{
    FILE *pipe = popen(("timeout 60 sh -c '" + command + "' 2>/dev/null").c_str(), "r");
    std::string out;
    char chunk[4096];
    for (std::size_t got; pipe != nullptr && (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        out.append(chunk, got);
    const int result = pipe != nullptr ? pclose(pipe) : -1;
    if (status)
        *status = result;
    return out;
}

std::string pattern_bytes(std::size_t size)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return data;
}

TEST(DataFaults, ShortReadsCostReadersThatDoNotLoop)
{
    mounted fs(direct(), "[errinj_short]\nop_regexp = ^read$\npath_regexp = /table$\n"
                         "probability = 100\n");
    const std::string content = pattern_bytes(50000);
    write_file(fs.base("table"), content);
    // cat reads until the end of the file, however little each read gives.
    EXPECT_EQ(shell("cat " + fs.at("table")), content);
    // One read of the whole size, as careless code does, comes back short.
    const int fd = open(fs.at("table").c_str(), O_RDONLY);
    ASSERT_NE(fd, -1);
    std::string once(content.size(), '\0');
    const ssize_t got = read(fd, once.data(), once.size());
    close(fd);
    EXPECT_GT(got, 0);
    EXPECT_LT(got, static_cast<ssize_t>(content.size()));
    EXPECT_EQ(once.substr(0, static_cast<std::size_t>(got)),
              content.substr(0, static_cast<std::size_t>(got)));
    EXPECT_EQ(fs.err().find("without -o direct_io"), std::string::npos);
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

TEST(DataFaults, ShortReadRuleWithoutDirectIoIsWarnedAbout)
{
    mounted fs(NO_CACHES, "[errinj_short.r]\nop_regexp = ^read$\nprobability = 1\n");
    EXPECT_NE(fs.err().find("errinj 'errinj_short.r': without -o direct_io a short read looks "
                            "to the caller like the end of the file\n"),
              std::string::npos)
        << fs.err();
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

// cmp -l lists the differing bytes, counted from 1; the report counts from
// 0. Read and written, with requests and replies copied or spliced through
// pipes: the bytes altered are exactly the ones reported, and no others.
TEST(DataFaults, CmpFindsExactlyTheReportedOffsets)
{
    const std::string spliced = "direct_io,splice_read,splice_write,splice_move";
    const struct {
        const char *op;
        std::string options;
    } cases[] = {
        {"read", "direct_io"}, {"read", spliced}, {"write", "direct_io"}, {"write", spliced}};
    for (const auto &c : cases) {
        std::vector<std::string> options = NO_CACHES;
        options.insert(options.end(), {"-o", c.options});
        mounted fs(options, std::string("[errinj_corrupt]\nop_regexp = ^") + c.op +
                                "$\npath_regexp = /blob$\nprobability = 40\nbytes = 3\n"
                                "mode = random\n");
        const bool reading = c.op == std::string("read");
        write_file(fs.base("pattern"), pattern_bytes(300000));
        if (reading)
            write_file(fs.base("blob"), pattern_bytes(300000));
        else
            write_file(fs.at("blob"), pattern_bytes(300000));
        std::set<long> differing;
        const std::string altered = reading ? fs.at("blob") : fs.base("blob");
        std::istringstream listed(shell("cmp -l " + altered + " " + fs.base("pattern")));
        for (std::string line; std::getline(listed, line);)
            differing.insert(std::stol(line) - 1);

        std::set<long> reported;
        const std::string said = "errinj_corrupt altered offsets ";
        for (const std::string &line : lines_starting(fs.out(), said)) {
            std::string list = line.substr(said.size());
            list = list.substr(0, list.find(" of "));
            std::istringstream numbers(list);
            for (std::string number; std::getline(numbers, number, ',');)
                reported.insert(std::stol(number));
        }
        EXPECT_FALSE(reported.empty()) << c.op << " " << c.options;
        EXPECT_EQ(differing, reported) << c.op << " " << c.options;
        if (reading) {
            EXPECT_EQ(read_file(fs.base("blob")), pattern_bytes(300000));  // the base is untouched
        }
        EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
    }
}

TEST(DataFaults, DdFillsTheDiskToAShortWriteThenEnospc)
{
    mounted fs(direct(), "[errinj_full_disk]\npath_regexp = /disk\nspace = 100000\n"
                         "probability = 100\n");
    ASSERT_EQ(mkdir(fs.base("disk").c_str(), 0755), 0);
    struct statvfs before;
    ASSERT_EQ(statvfs(fs.at("disk").c_str(), &before), 0);
    EXPECT_EQ(before.f_bavail, 100000 / before.f_frsize);

    int status = 0;
    shell("dd if=/dev/zero of=" + fs.at("disk/big") + " bs=4096 count=100", &status);
    EXPECT_NE(status, 0);
    EXPECT_EQ(read_file(fs.base("disk/big")).size(), 100000u);
    const std::string out = fs.out();
    EXPECT_NE(out.find("transfer cut to 1696 of 4096 bytes\n"), std::string::npos) << out;
    EXPECT_NE(out.find("errno '" + std::string(strerror(ENOSPC)) + "'"), std::string::npos);

    struct statvfs full;
    ASSERT_EQ(statvfs(fs.at("disk").c_str(), &full), 0);
    EXPECT_EQ(full.f_bavail, 0u);
    EXPECT_EQ(open(fs.at("disk/more").c_str(), O_CREAT | O_WRONLY, 0644), -1);
    EXPECT_EQ(errno, ENOSPC);
    // Removing the file gives its room back.
    ASSERT_EQ(unlink(fs.at("disk/big").c_str()), 0);
    ASSERT_EQ(statvfs(fs.at("disk").c_str(), &full), 0);
    EXPECT_EQ(full.f_bavail, 100000 / full.f_frsize);
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

}  // namespace
