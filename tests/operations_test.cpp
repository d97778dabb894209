// The operations table called directly, with handles made by hand.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/fiemap.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "frontend/operations.h"
#include "injection/hook.h"
#include "support/capture.h"
#include "support/fake_requester.h"

namespace {

class Operations : public testing::Test {
protected:
    // Base "/": the paths the tests hand in are then host paths too.
    void SetUp() override
    {
        mount_state.config_path = dir_ / "tavrin.conf";
        if (mount_state.base_fd == -1)
            mount_state.base_fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        mount_state.path_prefix = "/";
    }
    void TearDown() override { rule_set_free(std::move(mount_state.rules)); }

    void use_rules(const std::string &text)
    {
        write_file(mount_state.config_path, text);
        capture([] { mount_state.rules = rule_set_load(mount_state.config_path.c_str()); });
    }

    temp_dir dir_;
};

// The host call gets libfuse's data area, never the caller's raw argument;
// on a directory handle fh holds the stream that opendir stored.
TEST_F(Operations, IoctlUsesTheDataAreaAndTheHandlesOwnDescriptor)
{
    const std::string file = dir_ / "file";
    write_file(file, "x");
    const int fd = open(file.c_str(), O_RDONLY);
    ASSERT_NE(fd, -1);
    int native_flags = 0;
    const int native = ioctl(fd, FS_IOC_GETFLAGS, &native_flags);
    if (native == -1)
        GTEST_SKIP() << "the host file system has no file flags";

    fuse_file_info fi = {};
    fi.fh = static_cast<uint64_t>(fd);
    int flags = -1;
    void *const foreign_address = reinterpret_cast<void *>(uintptr_t{0x10});
    EXPECT_EQ(fs_operations.ioctl(file.c_str(), static_cast<int>(FS_IOC_GETFLAGS), foreign_address,
                                  &fi, 0, &flags),
              native);
    EXPECT_EQ(flags, native_flags);
    close(fd);

    DIR *stream = opendir(dir_.path().c_str());
    ASSERT_NE(stream, nullptr);
    fuse_file_info dir_handle = {};
    dir_handle.fh = reinterpret_cast<uintptr_t>(stream);
    flags = -1;
    EXPECT_EQ(fs_operations.ioctl(dir_.path().c_str(), static_cast<int>(FS_IOC_GETFLAGS),
                                  foreign_address, &dir_handle, FUSE_IOCTL_DIR, &flags),
              0);
    int dir_flags = -2;
    ASSERT_EQ(ioctl(dirfd(stream), FS_IOC_GETFLAGS, &dir_flags), 0);
    EXPECT_EQ(flags, dir_flags);
    closedir(stream);
}

// As another user, an ioctl passes only where the base directory would let
// that user make it; one that names a descriptor or would overrun the data
// area never passes.
TEST_F(Operations, IoctlsPassOnlyWhereTheCallerCouldMakeThemOnTheBase)
{
    const std::string file = dir_ / "file";
    write_file(file, "x");
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    const int fd = open(file.c_str(), O_RDONLY);
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == -1)
        GTEST_SKIP() << "the host file system has no file flags";
    fuse_file_info fi = {};
    fi.fh = static_cast<uint64_t>(fd);
    const struct {
        const char *what;
        unsigned long command;
        uint32_t uid;
        int flags_asked;
        int expected;
    } cases[] = {
        {"a query by anyone", FS_IOC_GETFLAGS, 1000, 0, 0},
        {"the same flags by their owner", FS_IOC_SETFLAGS, 65534, flags, 0},
        {"noatime by its owner", FS_IOC_SETFLAGS, 65534, flags | FS_NOATIME_FL, 0},
        {"immutable by its owner", FS_IOC_SETFLAGS, 65534, flags | FS_IMMUTABLE_FL, -EPERM},
        {"flags by another user", FS_IOC_SETFLAGS, 1000, flags, -EPERM},
        {"an ioctl of no file by another user", TCGETS, 1000, 0, -EPERM},
        {"a clone of a descriptor, even by root", FICLONE, 0, 3, -EOPNOTSUPP},
    };
    for (const auto &c : cases) {
        fake_requester_uid = c.uid;
        int data = c.flags_asked;
        EXPECT_EQ(fs_operations.ioctl(file.c_str(), static_cast<int>(c.command), nullptr, &fi, 0,
                                      &data),
                  c.expected)
            << c.what;
    }
    fiemap extents = {};
    extents.fm_length = FIEMAP_MAX_OFFSET;
    extents.fm_extent_count = 8;  // would be written past the area libfuse copied in
    fake_requester_uid = 0;
    EXPECT_EQ(fs_operations.ioctl(file.c_str(), static_cast<int>(FS_IOC_FIEMAP), nullptr, &fi, 0,
                                  &extents),
              -EOPNOTSUPP);
    int now = 0;
    ASSERT_EQ(ioctl(fd, FS_IOC_GETFLAGS, &now), 0);
    EXPECT_EQ(now & FS_IMMUTABLE_FL, 0);
    ioctl(fd, FS_IOC_SETFLAGS, &flags);
    close(fd);
}

// flush says why it failed: with no descriptor to spare, dup's EMFILE.
TEST_F(Operations, FlushReportsWhatDupSaid)
{
    const std::string file = dir_ / "file";
    write_file(file, "x");
    const int fd = open(file.c_str(), O_RDONLY);
    const int status = [&] {
        fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            const rlimit few = {static_cast<rlim_t>(fd) + 1, static_cast<rlim_t>(fd) + 1};
            if (setrlimit(RLIMIT_NOFILE, &few) != 0)
                _exit(2);
            while (open("/dev/null", O_RDONLY) != -1) {  // every slot taken
            }
            fuse_file_info fi = {};
            fi.fh = static_cast<uint64_t>(fd);
            _exit(fs_operations.flush(file.c_str(), &fi) == -EMFILE ? 0 : 1);
        }
        int wait_status = 0;
        waitpid(child, &wait_status, 0);
        return wait_status;
    }();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(fd);
}

// readdir and fsyncdir use the stream opendir stored: a directory renamed
// while open, with another in its place, is still the one listed.
TEST_F(Operations, DirectoryHandlesKeepTheirDirectory)
{
    const std::string dir = dir_ / "d", moved = dir_ / "moved";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    write_file(dir + "/first", "");
    fuse_file_info fi = {};
    ASSERT_EQ(fs_operations.opendir(dir.c_str(), &fi), 0);
    ASSERT_EQ(rename(dir.c_str(), moved.c_str()), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    write_file(dir + "/stranger", "");
    std::vector<std::string> names;
    auto filler = [](void *buf, const char *name, const struct stat *, off_t) {
        static_cast<std::vector<std::string> *>(buf)->push_back(name);
        return 0;
    };
    for (int pass = 0; pass < 2; ++pass) {  // again from the start, as after rewinddir
        names.clear();
        EXPECT_EQ(fs_operations.readdir(dir.c_str(), &names, filler, 0, &fi), 0);
        EXPECT_NE(std::find(names.begin(), names.end(), "first"), names.end()) << pass;
        EXPECT_EQ(std::find(names.begin(), names.end(), "stranger"), names.end()) << pass;
    }
    EXPECT_EQ(fs_operations.fsyncdir(dir.c_str(), 0, &fi), 0);
    EXPECT_EQ(fs_operations.releasedir(dir.c_str(), &fi), 0);
}

// A handle whose open was skipped holds 0 and is never used as descriptor 0.
TEST_F(Operations, EmptyHandlesAreRecognised)
{
    const std::string file = dir_ / "file";
    write_file(file, "content");
    fuse_file_info empty = {};
    char buf[8];
    EXPECT_EQ(fs_operations.read(file.c_str(), buf, sizeof buf, 0, &empty), -EBADF);
    EXPECT_EQ(fs_operations.write(file.c_str(), "x", 1, 0, &empty), -EBADF);
    EXPECT_EQ(fs_operations.fsync(file.c_str(), 0, &empty), -EBADF);
    EXPECT_EQ(fs_operations.lock(file.c_str(), &empty, F_GETLK, nullptr), -EBADF);
    int data = 0;
    EXPECT_EQ(fs_operations.ioctl(file.c_str(), 0, nullptr, &empty, 0, &data), -EBADF);
    EXPECT_EQ(fs_operations.flush(file.c_str(), &empty), 0);
    EXPECT_EQ(fs_operations.release(file.c_str(), &empty), 0);
    EXPECT_EQ(fs_operations.releasedir(dir_.path().c_str(), &empty), 0);
    struct stat st = {};
    EXPECT_EQ(fs_operations.fgetattr(file.c_str(), &st, &empty), 0);
    EXPECT_EQ(st.st_size, 7);
    EXPECT_EQ(fcntl(0, F_GETFD), 0) << "descriptor 0 was closed";
}

// Without a handle, read and write open the path for the one transfer.
TEST_F(Operations, TransfersWithoutAHandleOpenThePath)
{
    const std::string file = dir_ / "file";
    write_file(file, "0123456789");
    char buf[4] = {};
    EXPECT_EQ(fs_operations.read(file.c_str(), buf, 4, 3, nullptr), 4);
    EXPECT_EQ(std::string(buf, 4), "3456");
    EXPECT_EQ(fs_operations.write(file.c_str(), "ab", 2, 8, nullptr), 2);
    EXPECT_EQ(read_file(file), "01234567ab");
    EXPECT_EQ(fs_operations.read((dir_ / "absent").c_str(), buf, 4, 0, nullptr), -ENOENT);
}

// Whatever the hook says about a release, the handle's descriptor or stream
// is let go: nothing would ever close it otherwise.
TEST_F(Operations, ReleaseLetsGoOfTheHandleWhateverTheVerdict)
{
    const std::string file = dir_ / "file";
    write_file(file, "x");
    for (const std::string kind : {"errinj_errno", "errinj_noop"}) {
        use_rules("[" + kind + "]\nop_regexp = ^release\nprobability = 100\n");
        const int fd = open(file.c_str(), O_RDONLY);
        fuse_file_info fi = {};
        fi.fh = static_cast<uint64_t>(fd);
        int result = 0;
        capture([&] { result = fs_operations.release(file.c_str(), &fi); });
        if (kind == "errinj_errno")
            EXPECT_LT(result, 0);
        else
            EXPECT_EQ(result, 0);
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << kind << ": descriptor left open";

        fuse_file_info dir_handle = {};
        dir_handle.fh = reinterpret_cast<uintptr_t>(opendir(dir_.path().c_str()));
        const int dir_fd = dirfd(reinterpret_cast<DIR *>(dir_handle.fh));
        capture([&] { fs_operations.releasedir(dir_.path().c_str(), &dir_handle); });
        EXPECT_EQ(fcntl(dir_fd, F_GETFD), -1) << kind << ": directory stream left open";
    }
}

TEST_F(Operations, SkippedReadlinkHandsBackAnEmptyText)
{
    use_rules("[errinj_noop]\nop_regexp = ^readlink$\nprobability = 100\n");
    char buf[8] = "garbage";
    capture([&] { EXPECT_EQ(fs_operations.readlink("/any", buf, sizeof buf), 0); });
    EXPECT_STREQ(buf, "");
}

TEST_F(Operations, ReadlinkCutsLongTextsAndTerminates)
{
    const std::string link = dir_ / "link";
    ASSERT_EQ(symlink("abcdefghij", link.c_str()), 0);
    char buf[5];
    EXPECT_EQ(fs_operations.readlink(link.c_str(), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "abcd");
}

TEST_F(Operations, ReaddirStopsWhenTheFillerIsFull)
{
    for (const char *name : {"a", "b", "c"})
        write_file(dir_ / name, "");
    struct listing {
        int calls = 0;
    } seen;
    auto filler = [](void *buf, const char *, const struct stat *st, off_t) {
        auto *list = static_cast<listing *>(buf);
        EXPECT_EQ(st->st_mode & 07777, 0u);
        return ++list->calls == 2 ? 1 : 0;
    };
    EXPECT_EQ(fs_operations.readdir(dir_.path().c_str(), &seen, filler, 0, nullptr), 0);
    EXPECT_EQ(seen.calls, 2);
}

// Extended attributes name an entry in one call, or, where that name would
// be too long, through its parent; either way the entry itself, never what
// a link names, as the l* calls on the host.
TEST_F(Operations, ExtendedAttributesReachTheEntryItselfHoweverLongItsPath)
{
    // A directory whose path is just under PATH_MAX long: with the /proc
    // prefix, the names of its entries are over it.
    std::string deep = dir_.path();
    int fd = open(deep.c_str(), O_PATH | O_DIRECTORY);
    while (deep.size() < PATH_MAX - 10) {
        const std::string name(std::min<std::size_t>(200, PATH_MAX - 11 - deep.size()), 'd');
        ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
        const int next = openat(fd, name.c_str(), O_PATH | O_DIRECTORY);
        close(fd);
        fd = next;
        deep += "/" + name;
    }
    ASSERT_EQ(mkdirat(fd, "f", 0755), 0);
    ASSERT_EQ(symlinkat("f", fd, "link"), 0);
    close(fd);
    write_file(dir_ / "f", "");
    ASSERT_EQ(symlink("f", (dir_ / "link").c_str()), 0);

    for (const std::string &at : {dir_.path(), deep}) {
        const std::string entry = at + "/f", link = at + "/link";
        EXPECT_EQ(fs_operations.setxattr(entry.c_str(), "user.k", "v", 1, 0), 0) << at.size();
        char value[8] = {};
        EXPECT_EQ(fs_operations.getxattr(entry.c_str(), "user.k", value, sizeof value), 1);
        EXPECT_EQ(value[0], 'v');
        char names[64];
        EXPECT_EQ(fs_operations.listxattr(entry.c_str(), names, sizeof names), 7);
        EXPECT_EQ(fs_operations.removexattr(entry.c_str(), "user.k"), 0);
        EXPECT_EQ(fs_operations.getxattr(entry.c_str(), "user.k", value, sizeof value), -ENODATA);
        // The link itself: user.* is refused on a link, whatever it names.
        EXPECT_EQ(fs_operations.setxattr(link.c_str(), "user.k", "v", 1, 0), -EPERM);
    }
}

}  // namespace
