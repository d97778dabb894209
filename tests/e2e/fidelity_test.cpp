// The mirror against the base directory, for callers that really are other
// users: who owns what they create, set-ID bits, long paths, timestamps,
// inode numbers, and allow_other's permission checks. Every case runs the
// same calls through the mount and on a scratch directory of the host and
// compares, once with the kernel's caches off and once with its defaults.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "mounted.h"

namespace {

constexpr uid_t NOBODY = 65534;
constexpr gid_t NOGROUP = 65534;

// What a stat tells of ownership and permission.
struct owned {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    bool operator==(const owned &other) const
    {
        return uid == other.uid && gid == other.gid && mode == other.mode;
    }
};

std::ostream &operator<<(std::ostream &out, const owned &o)
{
    return out << o.uid << ":" << o.gid << " " << std::oct << o.mode << std::dec;
}

owned owner_of(const std::string &path)
{
    struct stat st = {};
    if (lstat(path.c_str(), &st) != 0)
        return {0, 0, 0};
    return {st.st_uid, st.st_gid, st.st_mode};
}

// work(dir) in a child that has become uid:gid with these supplementary
// groups; the child's exit status is work's result (an errno, or 0).
int as_user(uid_t uid, gid_t gid, const std::vector<gid_t> &groups,
            const std::function<int()> &work)
{
    const int status = in_child([&] {
        if (setgroups(groups.size(), groups.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            return 100;
        umask(0);
        return work();
    });
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

int errno_of(int result)
{
    return result == -1 ? errno : 0;
}

class Fidelity : public testing::TestWithParam<bool> {
protected:
    Fidelity() : fs_(options()) { chmod(fs_.base().c_str(), 0755); chmod(host_.path().c_str(), 0755); }
    ~Fidelity() override
    {
        const int status = fs_.unmount();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << fs_.err();
    }

    static std::vector<std::string> options()
    {
        std::vector<std::string> options = {"-o", "allow_other"};
        if (GetParam())
            options.insert(options.end(), NO_CACHES.begin(), NO_CACHES.end());
        return options;
    }

    // Makes a directory on both sides, with this owner and mode.
    void both_dirs(const std::string &name, uid_t uid, gid_t gid, mode_t mode)
    {
        for (const std::string &dir : {fs_.base(name), host_ / name}) {
            ASSERT_EQ(mkdir(dir.c_str(), 0), 0);
            ASSERT_EQ(chown(dir.c_str(), uid, gid), 0);
            ASSERT_EQ(chmod(dir.c_str(), mode), 0);
        }
    }

    // Runs calls(root) as the user on the mount and on the host directory;
    // both must answer alike, and so must every name then stat'ed.
    void expect_alike(uid_t uid, gid_t gid, const std::vector<gid_t> &groups,
                      const std::function<int(const std::string &)> &calls,
                      const std::vector<std::string> &names)
    {
        const std::string mount = fs_.mount(), host = host_.path();
        const int through_mount = as_user(uid, gid, groups, [&] { return calls(mount); });
        const int on_host = as_user(uid, gid, groups, [&] { return calls(host); });
        EXPECT_EQ(through_mount, on_host) << strerror(through_mount) << " / " << strerror(on_host);
        for (const std::string &name : names)
            EXPECT_EQ(owner_of(fs_.at(name)), owner_of(host_ / name)) << name;
    }

    temp_dir host_;
    mounted fs_;
};

TEST_P(Fidelity, WhatAUserCreatesIsTheirs)
{
    both_dirs("pub", 0, 0, 0777);
    expect_alike(NOBODY, NOGROUP, {},
                 [](const std::string &root) {
                     const int fd = open((root + "/pub/file").c_str(), O_CREAT | O_WRONLY, 0640);
                     if (fd == -1)
                         return errno;
                     close(fd);
                     if (mkdir((root + "/pub/dir").c_str(), 0750) != 0 ||
                         mknod((root + "/pub/fifo").c_str(), S_IFIFO | 0600, 0) != 0 ||
                         symlink("file", (root + "/pub/link").c_str()) != 0)
                         return errno;
                     // The creator may now do what an owner may.
                     return errno_of(chmod((root + "/pub/file").c_str(), 0600)) +
                            errno_of(truncate((root + "/pub/file").c_str(), 3)) +
                            errno_of(rename((root + "/pub/dir").c_str(), (root + "/pub/d2").c_str()));
                 },
                 {"pub/file", "pub/d2", "pub/fifo", "pub/link"});
    EXPECT_EQ(owner_of(fs_.at("pub/file")).uid, NOBODY);
}

TEST_P(Fidelity, SetGroupIdDirectoriesAndSetIdBits)
{
    both_dirs("shared", 0, 1234, 02777);
    both_dirs("plain", 0, 0, 0777);
    expect_alike(NOBODY, NOGROUP, {},
                 [](const std::string &root) {
                     for (const char *name : {"/shared/f4755", "/shared/f6755", "/plain/f4755",
                                              "/plain/f6755"}) {
                         const mode_t mode = strstr(name, "6755") ? 06755 : 04755;
                         const int fd = open((root + name).c_str(), O_CREAT | O_WRONLY, mode);
                         if (fd == -1)
                             return errno;
                         close(fd);
                     }
                     return errno_of(mkdir((root + "/shared/sub").c_str(), 0755));
                 },
                 {"shared/f4755", "shared/f6755", "plain/f4755", "plain/f6755", "shared/sub"});
    EXPECT_EQ(owner_of(fs_.at("shared/sub")).mode & S_ISGID, S_ISGID);
    EXPECT_EQ(owner_of(fs_.at("plain/f6755")).mode & 07777, 06755u);
}

TEST_P(Fidelity, SupplementaryGroupsDecideAsOnTheHost)
{
    both_dirs("team", 0, 4321, 0770);
    auto create = [](const std::string &root) {
        const int fd = open((root + "/team/file").c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd == -1)
            return errno;
        close(fd);
        return 0;
    };
    expect_alike(NOBODY, NOGROUP, {}, create, {"team/file"});
    expect_alike(NOBODY, NOGROUP, {4321}, create, {"team/file"});
    EXPECT_EQ(owner_of(fs_.at("team/file")).uid, NOBODY);
}

TEST_P(Fidelity, ConcurrentCreatorsOwnTheirOwnFiles)
{
    both_dirs("pub", 0, 0, 0777);
    std::vector<pid_t> creators;
    for (uid_t uid = 60000; uid < 60004; ++uid) {
        const std::string dir = fs_.at("pub");
        fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            if (setgid(uid) != 0 || setuid(uid) != 0)
                _exit(1);
            for (int i = 0; i < 40; ++i) {
                const int fd = open((dir + "/u" + std::to_string(uid) + "-" + std::to_string(i)).c_str(),
                                    O_CREAT | O_WRONLY, 0644);
                if (fd == -1)
                    _exit(2);
                close(fd);
            }
            _exit(0);
        }
        creators.push_back(child);
    }
    for (pid_t child : creators)
        EXPECT_EQ(reap(child, std::chrono::milliseconds(30000)), 0);
    for (uid_t uid = 60000; uid < 60004; ++uid)
        for (int i = 0; i < 40; ++i) {
            const owned o = owner_of(fs_.base("pub/u" + std::to_string(uid) + "-" + std::to_string(i)));
            ASSERT_EQ(o.uid, uid);
            ASSERT_EQ(o.gid, uid);
        }
}

// A path as long as the mount allows (4095 bytes from its root), reached a
// directory at a time, as the host allows it.
TEST_P(Fidelity, PathsAsLongAsTheMountAllows)
{
    auto deep = [](const std::string &root) {
        int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY);
        std::size_t length = 0;
        const std::string segment(250, 'd');
        while (length + 1 + segment.size() + 1 + 10 < 4095) {
            if (mkdirat(dir, segment.c_str(), 0755) != 0)
                return errno;
            const int next = openat(dir, segment.c_str(), O_RDONLY | O_DIRECTORY);
            close(dir);
            if (next == -1)
                return errno;
            dir = next;
            length += 1 + segment.size();
        }
        const std::string last(4095 - length - 1, 'f');
        const int fd = openat(dir, last.c_str(), O_CREAT | O_WRONLY, 0644);
        close(dir);
        if (fd == -1)
            return errno;
        const bool written = write(fd, "deep", 4) == 4;
        close(fd);
        return written ? 0 : EIO;
    };
    EXPECT_EQ(deep(fs_.mount()), 0);
    EXPECT_EQ(deep(host_.path()), 0);
}

TEST_P(Fidelity, UtimeOmitAndNowAreHonoured)
{
    write_file(fs_.base("file"), "x");
    const timespec old_times[2] = {{1000, 0}, {2000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, fs_.base("file").c_str(), old_times, 0), 0);

    const timespec only_atime[2] = {{5000, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(utimensat(AT_FDCWD, fs_.at("file").c_str(), only_atime, 0), 0);
    struct stat st;
    ASSERT_EQ(stat(fs_.base("file").c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, 5000);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000);

    const timespec mtime_now[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    ASSERT_EQ(utimensat(AT_FDCWD, fs_.at("file").c_str(), mtime_now, 0), 0);
    ASSERT_EQ(stat(fs_.base("file").c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, 5000);
    EXPECT_GT(st.st_mtim.tv_sec, time(nullptr) - 60);
}

TEST_P(Fidelity, TwoLinksShowTheBasesInodeNumber)
{
    write_file(fs_.base("a"), "x");
    ASSERT_EQ(link(fs_.at("a").c_str(), fs_.at("b").c_str()), 0);
    struct stat a, b, native;
    ASSERT_EQ(stat(fs_.at("a").c_str(), &a), 0);
    ASSERT_EQ(stat(fs_.at("b").c_str(), &b), 0);
    ASSERT_EQ(stat(fs_.base("a").c_str(), &native), 0);
    EXPECT_EQ(a.st_ino, native.st_ino);
    EXPECT_EQ(b.st_ino, native.st_ino);
}

INSTANTIATE_TEST_SUITE_P(Caches, Fidelity, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool> &param) {
                             return param.param ? "off" : "default";
                         });

// allow_other alone would let every user read what root may: tavrin adds
// the kernel's permission checks and says so.
TEST(AllowOther, AloneStillRefusesAnotherUsersRead)
{
    mounted fs({"-o", "allow_other"});
    chmod(fs.base().c_str(), 0755);
    write_file(fs.base("secret"), "root's");
    chmod(fs.base("secret").c_str(), 0600);
    const std::string secret = fs.at("secret");
    EXPECT_EQ(as_user(NOBODY, NOGROUP, {}, [&] { return errno_of(open(secret.c_str(), O_RDONLY)); }),
              EACCES);
    EXPECT_EQ(read_file(secret), "root's");
    EXPECT_NE(fs.err().find("allow_other without default_permissions: adding default_permissions\n"),
              std::string::npos)
        << fs.err();
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

// The base directory moved while mounted is still the one served.
TEST(BaseDirectory, MovedWhileMountedKeepsServing)
{
    const temp_dir elsewhere;
    mounted fs;
    write_file(fs.base("kept"), "here");
    const std::string moved = elsewhere / "moved";
    ASSERT_EQ(rename(fs.base().c_str(), moved.c_str()), 0);
    EXPECT_EQ(read_file(fs.at("kept")), "here");
    write_file(fs.at("new"), "made");
    EXPECT_EQ(read_file(moved + "/new"), "made");

    // A stranger's rule file at the old path is never the one read.
    ASSERT_EQ(mkdir(fs.base().c_str(), 0700), 0);
    write_file(fs.base("tavrin.conf"), "[errinj_noop.stranger]\nprobability = 100\n");
    write_file(fs.at("tavrin.conf"), "[errinj_errno.ours]\nop_regexp = ^mkdir$\nprobability = 100\n");
    struct stat st;
    ASSERT_EQ(stat(fs.at("tavrin.conf").c_str(), &st), 0);  // re-reads the rules
    EXPECT_EQ(mkdir(fs.at("d").c_str(), 0755), -1);
    EXPECT_EQ(fs.out().find("stranger"), std::string::npos) << fs.out();
    EXPECT_NE(fs.out().find("errinj_errno.ours triggered"), std::string::npos) << fs.out();
    ASSERT_EQ(system(("rm -rf '" + fs.base() + "'").c_str()), 0);
    ASSERT_EQ(rename(moved.c_str(), fs.base().c_str()), 0);
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

}  // namespace
