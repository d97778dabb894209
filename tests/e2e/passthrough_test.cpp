// With no rule firing, the mount is a faithful mirror: every registered
// operation gives through the mount what the same call gives on the base
// directory, and lands there byte for byte.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <set>

#include "mounted.h"

namespace {

std::string random_bytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char &byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

std::set<std::string> names_in(const std::string &directory)
{
    std::set<std::string> names;
    DIR *stream = opendir(directory.c_str());
    if (stream == nullptr)
        return names;
    while (const dirent *entry = readdir(stream))
        names.insert(entry->d_name);
    closedir(stream);
    return names;
}

class Passthrough : public testing::Test {
protected:
    void TearDown() override
    {
        const int status = fs_.unmount();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(lines_starting(fs_.out(), "random seed = 1").size(), 2u) << fs_.out();
    }
    mounted fs_;
};

TEST_F(Passthrough, DataLandsByteForByteAndReadsBack)
{
    const std::string data = random_bytes(1 << 20, 7);
    const int fd = open(fs_.at("data").c_str(), O_CREAT | O_RDWR, 0640);
    ASSERT_NE(fd, -1) << strerror(errno);
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(pwrite(fd, "hole", 4, 3 << 20), 4);
    ASSERT_EQ(fsync(fd), 0);
    ASSERT_EQ(fdatasync(fd), 0);

    std::string back(data.size(), '\0');
    ASSERT_EQ(pread(fd, back.data(), back.size(), 0), static_cast<ssize_t>(back.size()));
    EXPECT_TRUE(back == data);
    ASSERT_EQ(ftruncate(fd, 1 << 19), 0);
    ASSERT_EQ(close(fd), 0);

    EXPECT_TRUE(read_file(fs_.base("data")) == data.substr(0, 1 << 19));
    struct stat st;
    ASSERT_EQ(stat(fs_.base("data").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    ASSERT_EQ(truncate(fs_.at("data").c_str(), 10), 0);
    EXPECT_EQ(read_file(fs_.base("data")), data.substr(0, 10));
}

TEST_F(Passthrough, NamespaceOperationsMirrorTheBaseDirectory)
{
    ASSERT_EQ(mkdir(fs_.at("dir").c_str(), 0750), 0);
    write_file(fs_.at("dir/file"), "x");
    ASSERT_EQ(link(fs_.at("dir/file").c_str(), fs_.at("hard").c_str()), 0);
    ASSERT_EQ(rename(fs_.at("dir/file").c_str(), fs_.at("moved").c_str()), 0);
    ASSERT_EQ(mknod(fs_.at("fifo").c_str(), S_IFIFO | 0600, 0), 0);
    ASSERT_EQ(symlink("moved", fs_.at("sym").c_str()), 0);

    struct stat st;
    ASSERT_EQ(lstat(fs_.base("moved").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u);
    ASSERT_EQ(lstat(fs_.base("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(names_in(fs_.mount()), names_in(fs_.base()));
    EXPECT_EQ(names_in(fs_.mount()),
              (std::set<std::string>{".", "..", "dir", "hard", "moved", "fifo", "sym"}));

    EXPECT_EQ(access(fs_.at("moved").c_str(), R_OK | W_OK), 0);
    EXPECT_EQ(access(fs_.at("absent").c_str(), F_OK), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(rmdir(fs_.at("hard").c_str()), -1);
    EXPECT_EQ(errno, ENOTDIR);

    ASSERT_EQ(unlink(fs_.at("hard").c_str()), 0);
    ASSERT_EQ(rmdir(fs_.at("dir").c_str()), 0);
    EXPECT_EQ(names_in(fs_.base()), (std::set<std::string>{".", "..", "moved", "fifo", "sym"}));

    const int dir = open(fs_.mount().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_NE(dir, -1);
    EXPECT_EQ(fsync(dir), 0);
    EXPECT_EQ(close(dir), 0);

    struct statvfs through, native;
    ASSERT_EQ(statvfs(fs_.mount().c_str(), &through), 0);
    ASSERT_EQ(statvfs(fs_.base().c_str(), &native), 0);
    EXPECT_EQ(through.f_blocks, native.f_blocks);
    EXPECT_EQ(through.f_bsize, native.f_bsize);
}

// getattr, readlink and utimens act on a link itself; chmod follows it; chown
// (lchown from the caller) never reaches the target.
TEST_F(Passthrough, SymbolicLinksAreReportedNotFollowed)
{
    write_file(fs_.base("target"), "t");
    ASSERT_EQ(symlink("target", fs_.base("link").c_str()), 0);

    struct stat through, native;
    ASSERT_EQ(lstat(fs_.at("link").c_str(), &through), 0);
    ASSERT_EQ(lstat(fs_.base("link").c_str(), &native), 0);
    EXPECT_TRUE(S_ISLNK(through.st_mode));
    EXPECT_EQ(through.st_mode, native.st_mode);
    EXPECT_EQ(through.st_size, native.st_size);

    char text[64] = {};
    EXPECT_EQ(readlink(fs_.at("link").c_str(), text, sizeof text), 6);
    EXPECT_STREQ(text, "target");

    const timespec times[2] = {{1000000, 0}, {2000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, fs_.at("link").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    ASSERT_EQ(lstat(fs_.base("link").c_str(), &native), 0);
    EXPECT_EQ(native.st_mtime, 2000000);
    ASSERT_EQ(stat(fs_.base("target").c_str(), &native), 0);
    EXPECT_NE(native.st_mtime, 2000000);

    ASSERT_EQ(chmod(fs_.at("link").c_str(), 0604), 0);
    ASSERT_EQ(stat(fs_.base("target").c_str(), &native), 0);
    EXPECT_EQ(native.st_mode & 07777, 0604u);

    ASSERT_EQ(lchown(fs_.at("link").c_str(), 4321, 4321), 0);
    ASSERT_EQ(lstat(fs_.base("link").c_str(), &native), 0);
    EXPECT_EQ(native.st_uid, 4321u);
    ASSERT_EQ(stat(fs_.base("target").c_str(), &native), 0);
    EXPECT_EQ(native.st_uid, 0u);
    ASSERT_EQ(chown(fs_.at("link").c_str(), 55, 55), 0);
    ASSERT_EQ(stat(fs_.base("target").c_str(), &native), 0);
    EXPECT_EQ(native.st_uid, 55u);
}

// ftruncate works on the open file, even when its name now belongs to another.
TEST_F(Passthrough, FtruncateActsOnTheOpenFile)
{
    write_file(fs_.base("log"), "0123456789");
    const int fd = open(fs_.at("log").c_str(), O_RDWR);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(rename(fs_.base("log").c_str(), fs_.base("log.old").c_str()), 0);
    write_file(fs_.base("log"), "fresh file");

    ASSERT_EQ(ftruncate(fd, 4), 0);
    close(fd);
    EXPECT_EQ(read_file(fs_.base("log.old")), "0123");
    EXPECT_EQ(read_file(fs_.base("log")), "fresh file");
}

// A lock taken through the mount holds against another process.
TEST_F(Passthrough, LocksHoldAcrossProcesses)
{
    write_file(fs_.base("locked"), "l");
    const int fd = open(fs_.at("locked").c_str(), O_RDWR);
    ASSERT_NE(fd, -1);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_SETLK, &lock), 0);

    const std::string path = fs_.at("locked");
    const int status = in_child([&] {
        const int other = open(path.c_str(), O_RDWR);
        struct flock attempt = {};
        attempt.l_type = F_WRLCK;
        attempt.l_whence = SEEK_SET;
        const bool refused = fcntl(other, F_SETLK, &attempt) == -1 &&
                             (errno == EAGAIN || errno == EACCES);
        return refused ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(fd);
}

}  // namespace
