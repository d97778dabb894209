// fallocate, extended attributes and flock through the mount against the
// same calls on a host directory, as root and as another user; each reached
// by a rule; what a punch destroys brought back by a cut; shared mappings
// and SQLite's WAL beside direct I/O for chosen files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include "mounted.h"

namespace {

std::string errno_of(long result)
{
    return result < 0 ? std::string(strerrorname_np(errno)) : std::to_string(result);
}

// A minimal POSIX ACL: owner rw, group r, others r.
std::string acl_value()
{
    const unsigned char bytes[] = {2, 0, 0, 0,                             // version
                                   1, 0, 6, 0, 0xff, 0xff, 0xff, 0xff,     // user::rw-
                                   4, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,     // group::r--
                                   0x20, 0, 4, 0, 0xff, 0xff, 0xff, 0xff}; // other::r--
    return std::string(reinterpret_cast<const char *>(bytes), sizeof bytes);
}

// Every call of the new operations on the files under root, and what each
// answered: the transcript a mount and a host directory must share.
std::string transcript(const std::string &root)
{
    std::ostringstream said;
    const std::string mine = root + "/mine", theirs = root + "/theirs";
    const char *file = mine.c_str();
    said << "create " << errno_of(setxattr(file, "user.a", "1", 1, XATTR_CREATE));
    said << " again " << errno_of(setxattr(file, "user.a", "2", 1, XATTR_CREATE));
    said << " replace-absent " << errno_of(setxattr(file, "user.b", "x", 1, XATTR_REPLACE));
    said << " replace " << errno_of(setxattr(file, "user.a", "22", 2, XATTR_REPLACE));
    char value[64] = {};
    said << " size " << errno_of(getxattr(file, "user.a", nullptr, 0));
    said << " small " << errno_of(getxattr(file, "user.a", value, 1));
    said << " get " << errno_of(getxattr(file, "user.a", value, sizeof value)) << "=" << value;
    said << " trusted-set " << errno_of(setxattr(file, "trusted.t", "t", 1, 0));
    said << " trusted-get " << errno_of(getxattr(file, "trusted.t", value, sizeof value));
    const std::string acl = acl_value();
    said << " acl-mine " << errno_of(setxattr(file, "system.posix_acl_access", acl.data(), acl.size(), 0));
    said << " acl-theirs "
         << errno_of(setxattr(theirs.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0));
    said << " theirs-user " << errno_of(setxattr(theirs.c_str(), "user.x", "x", 1, 0));
    char names[1024] = {};
    const ssize_t listed = listxattr(file, names, sizeof names);
    std::vector<std::string> list;
    for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(strlen(names + at)) + 1)
        list.emplace_back(names + at);
    std::sort(list.begin(), list.end());
    said << " list-size " << errno_of(listxattr(file, nullptr, 0)) << " list";
    for (const std::string &name : list)
        said << " " << name;
    said << " remove " << errno_of(removexattr(file, "user.a"));
    said << " remove-again " << errno_of(removexattr(file, "user.a"));
    removexattr(file, "trusted.t");
    removexattr(file, "system.posix_acl_access");

    const int fd = open(file, O_RDWR);
    const int other = open(file, O_RDONLY);
    said << " | falloc " << errno_of(fallocate(fd, 0, 0, 8192));
    said << " keep " << errno_of(fallocate(fd, FALLOC_FL_KEEP_SIZE, 8192, 8192));
    said << " punch " << errno_of(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096));
    said << " zero " << errno_of(fallocate(fd, FALLOC_FL_ZERO_RANGE, 4096, 100));
    said << " punch-bad " << errno_of(fallocate(fd, FALLOC_FL_PUNCH_HOLE, 0, 4096));
    struct stat st;
    fstat(fd, &st);
    said << " size " << st.st_size;
    said << " | flock " << errno_of(flock(fd, LOCK_EX));
    said << " other " << errno_of(flock(other, LOCK_EX | LOCK_NB));
    said << " unlock " << errno_of(flock(fd, LOCK_UN));
    said << " other-again " << errno_of(flock(other, LOCK_SH | LOCK_NB));
    close(other);
    close(fd);
    const int theirs_fd = open(theirs.c_str(), O_RDWR);
    said << " theirs-open " << (theirs_fd >= 0 ? "ok" : strerrorname_np(errno));
    return said.str();
}

// transcript(root) as uid, in a child; its transcript comes back in a file.
std::string transcript_as(uid_t uid, const std::string &root, const std::string &out)
{
    const int status = in_child([&] {
        if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0))
            return 100;
        write_file(out, transcript(root));
        return 0;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return read_file(out);
}

void prepare(const std::string &root, uid_t owner)
{
    chmod(root.c_str(), 0755);
    write_file(root + "/mine", std::string(100, 'm'));
    write_file(root + "/theirs", std::string(100, 't'));
    chown((root + "/mine").c_str(), owner, owner);
    chmod((root + "/theirs").c_str(), 0644);
}

TEST(MoreOperations, TheMountAnswersAsTheBaseDirectory)
{
    for (const uid_t uid : {0u, 65534u}) {
        const temp_dir host, work;
        mounted fs({"-o", "allow_other,attr_timeout=0,entry_timeout=0,negative_timeout=0"});
        prepare(fs.base(), uid);
        prepare(host.path(), uid);
        const std::string through_mount = transcript_as(uid, fs.mount(), work / "mount");
        const std::string on_host = transcript_as(uid, host.path(), work / "host");
        EXPECT_EQ(through_mount, on_host) << "as uid " << uid;
        EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
    }
}

// Every rule kind reaches the new operations; here errno rules, one each.
TEST(MoreOperations, RulesReachEachOfThem)
{
    const struct {
        fs_op op;
        std::function<long(const std::string &)> call;
    } cases[] = {
        {OP_FALLOCATE, [](const std::string &f) { const int fd = open(f.c_str(), O_RDWR); const long r = fallocate(fd, 0, 0, 4096); close(fd); return r; }},
        {OP_SETXATTR, [](const std::string &f) { return static_cast<long>(setxattr(f.c_str(), "user.a", "1", 1, 0)); }},
        {OP_GETXATTR, [](const std::string &f) { char v[8]; return static_cast<long>(getxattr(f.c_str(), "user.a", v, sizeof v)); }},
        {OP_LISTXATTR, [](const std::string &f) { char v[64]; return static_cast<long>(listxattr(f.c_str(), v, sizeof v)); }},
        {OP_REMOVEXATTR, [](const std::string &f) { return static_cast<long>(removexattr(f.c_str(), "user.a")); }},
        {OP_FLOCK, [](const std::string &f) { const int fd = open(f.c_str(), O_RDWR); const long r = flock(fd, LOCK_EX); close(fd); return r; }},
    };
    for (const auto &c : cases) {
        mounted fs(NO_CACHES, std::string("[errinj_errno]\nop_regexp = ^") + op_names[c.op] +
                                  "$\nprobability = 100\n");
        write_file(fs.base("f"), "x");
        setxattr(fs.base("f").c_str(), "user.a", "1", 1, 0);
        errno = 0;
        EXPECT_EQ(c.call(fs.at("f")), -1) << op_names[c.op];
        EXPECT_TRUE(in_errno_list(c.op, errno)) << op_names[c.op] << ": " << strerror(errno);
        EXPECT_NE(fs.out().find(std::string("triggered on operation '") + op_names[c.op] + "'"),
                  std::string::npos);
        EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
    }
}

// What a punch, a zeroed range and a preallocation did is undone by a cut.
TEST(MoreOperations, ACutBringsBackWhatFallocateDestroyed)
{
    mounted fs({"-o", "attr_timeout=0,entry_timeout=0,direct_io"},
               "[errinj_power_cut]\nop_regexp = ^mkdir$\nprobability = 100\nnames = durable\n");
    const std::string original(16384, 'o');
    write_file(fs.base("f"), original);
    const int fd = open(fs.at("f").c_str(), O_RDWR);
    ASSERT_EQ(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 4096, 4096), 0);
    ASSERT_EQ(fallocate(fd, FALLOC_FL_ZERO_RANGE, 8192, 4096), 0);
    ASSERT_EQ(fallocate(fd, 0, 0, 32768), 0);
    close(fd);
    EXPECT_NE(read_file(fs.base("f")), original);
    const std::string cut = fs.at("cut");
    const int status = in_child([&] { return mkdir(cut.c_str(), 0755); });
    EXPECT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(read_file(fs.base("f")), original);
    struct stat st;
    ASSERT_EQ(stat(fs.at("tavrin.conf").c_str(), &st), 0);
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

// Direct I/O for the files a pattern names, the page cache for the rest:
// a shared mapping works on the others, and SQLite runs in WAL mode.
TEST(MoreOperations, SharedMappingsBesideDirectIo)
{
    // The database and its log with direct I/O; its shared-memory index,
    // which SQLite maps, through the page cache.
    mounted fs({"-direct_io_regexp=\\.(direct|db|db-wal)$", "-o", "attr_timeout=0,entry_timeout=0"});
    for (const std::string name : {"a.direct", "a.cached"}) {
        write_file(fs.base(name), std::string(4096, 'x'));
        const int fd = open(fs.at(name).c_str(), O_RDWR);
        void *map = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        EXPECT_EQ(map == MAP_FAILED, name == "a.direct") << name;
        if (map != MAP_FAILED)
            munmap(map, 4096);
        close(fd);
    }
    const std::string db = fs.at("wal.db");
    const std::string command = "sqlite3 '" + db +
                                "' 'PRAGMA journal_mode=WAL; CREATE TABLE t(i); INSERT INTO t "
                                "VALUES(1),(2); SELECT count(*) FROM t;' 2>&1";
    FILE *run = popen(command.c_str(), "r");
    char output[256] = {};
    const std::size_t got = fread(output, 1, sizeof output - 1, run);
    EXPECT_EQ(pclose(run), 0) << std::string(output, got);
    EXPECT_EQ(std::string(output, got), "wal\n2\n");
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

}  // namespace
