// The command line, start-up's report lines and exit statuses, and how the
// base directory reaches libfuse.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <fstream>

#include "mounted.h"

namespace {

const char USAGE[] =
    "usage: tavrin mountpoint [options]\n"
    "\n"
    "general options:\n"
    "    -h   --help            print help\n"
    "    -v   --version         print version\n"
    "    -d                     enable debug output (implies -f)\n"
    "    -f                     foreground operation\n"
    "\n"
    "tavrin options:\n"
    "    -seed=NUM              random seed\n"
    "    -basedir=STRING        directory to mount\n"
    "    -quiet                 print no skip lines\n"
    "    -draws=keyed           draws keyed by rule, operation and path\n"
    "    -trace=FILE            write a JSON Lines trace of the run\n"
    "    -rules=FILE            read the rules from FILE, not BASEDIR/tavrin.conf\n"
    "    -strict                refuse a rule file with a mistake in it\n"
    "    -check-rules=FILE      check a rule file and mount nothing\n"
    "    -control=PATH          answer requests on a Unix socket at PATH\n"
    "    -direct_io_regexp=RE   direct I/O for the files whose path matches RE\n"
    "\n";

bool exited_with(int status, int code)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

// The tavrin process, not a child of ours, that was given this argument.
pid_t find_daemon(const std::string &argument)
{
    DIR *proc = opendir("/proc");
    pid_t found = -1;
    while (const dirent *entry = proc ? readdir(proc) : nullptr) {
        const std::string cmdline = read_file(std::string("/proc/") + entry->d_name + "/cmdline");
        if (cmdline.find(std::string(TAVRIN_BINARY) + '\0') == 0 &&
            cmdline.find('\0' + argument + '\0') != std::string::npos)
            found = atoi(entry->d_name);
    }
    if (proc)
        closedir(proc);
    return found;
}

// Waits, within a bound, for a process that is not our child to end.
bool ended_in_time(pid_t pid)
{
    for (int i = 0; i < 2000; ++i) {
        if (kill(pid, 0) == -1 && errno == ESRCH)
            return true;
        usleep(5000);
    }
    kill(pid, SIGKILL);
    return false;
}

TEST(CommandLine, HelpPrintsUsageAndExitsOne)
{
    for (const char *help : {"-h", "--help"}) {
        const run_result run = run_tavrin({"-seed=5", "-basedir=/nonexistent", help, "/mnt"});
        EXPECT_TRUE(exited_with(run.status, 1)) << help;
        EXPECT_EQ(run.err, USAGE) << help;
        EXPECT_EQ(run.out, "") << help;
    }
}

TEST(CommandLine, VersionReportsOursThenLibfusesAndExitsOne)
{
    for (const char *version : {"-v", "-V", "--version"}) {
        const run_result run = run_tavrin({version});
        EXPECT_TRUE(exited_with(run.status, 1)) << version;
        EXPECT_EQ(run.err.find("tavrin version 0.1\n"), 0u) << run.err;
        EXPECT_NE(run.err.find("FUSE library version"), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("random seed"), std::string::npos) << run.out;
    }
}

TEST(CommandLine, BadBaseDirectoryIsRefusedAfterTheSeedLine)
{
    const temp_dir dir;
    write_file(dir / "file", "");
    for (const std::string &bad : {dir / "absent", dir / "file"}) {
        const run_result run = run_tavrin({dir.path(), "-seed=-1", "-basedir=" + bad});
        EXPECT_TRUE(exited_with(run.status, 1));
        EXPECT_EQ(run.out, "random seed = -1\n");
        EXPECT_EQ(run.err, "basedir ('" + bad + "') is not a directory\n");
    }
    const run_result last_wins =
        run_tavrin({"-seed=1", "-seed=4294967295", "-basedir=/", "-basedir=" + dir / "file"});
    EXPECT_EQ(last_wins.out, "random seed = -1\n");
}

// An option libfuse cannot read ends start-up with a line and status 1,
// before anything is mounted.
TEST(CommandLine, OptionsThatCannotBeReadMountNothing)
{
    const temp_dir mount_point, base;
    for (const std::string bad : {"-seed=abc", "-seed="}) {
        const run_result run =
            run_tavrin({mount_point.path(), bad, "-basedir=" + base.path(), "-f"});
        EXPECT_TRUE(exited_with(run.status, 1)) << bad << ": " << run.status;
        EXPECT_NE(run.err.find("the command line cannot be read: nothing mounted\n"),
                  std::string::npos)
            << run.err;
        EXPECT_FALSE(is_mounted(mount_point.path())) << bad;
    }
}

TEST(CommandLine, SeedDefaultsToTheTime)
{
    const long before = static_cast<long>(time(nullptr));
    const run_result run = run_tavrin({"-basedir=/nonexistent"});
    const long after = static_cast<long>(time(nullptr));
    long seed = 0;
    ASSERT_EQ(sscanf(run.out.c_str(), "random seed = %ld", &seed), 1) << run.out;
    EXPECT_GE(seed, before);
    EXPECT_LE(seed, after);
}

// A mount point that does not exist: libfuse fails, start-up has loaded the
// rules (with base "/", from "/tavrin.conf"), no second seed line.
TEST(CommandLine, FailedMountGivesLibfusesStatusAndNoSecondSeedLine)
{
    const temp_dir dir;
    const run_result run = run_tavrin({dir / "absent", "-basedir=/", "-seed=3", "-f"});
    EXPECT_FALSE(exited_with(run.status, 0));
    EXPECT_EQ(run.out.find("random seed = 3\nread configuration /tavrin.conf\n"), 0u) << run.out;
    EXPECT_EQ(lines_starting(run.out, "random seed").size(), 1u);
    EXPECT_NE(run.err, "");
}

// A rule file that exists but cannot be read: reported, and the filesystem
// mounts without rules. Root reads every ordinary file, so the rule file is a
// link to a sysctl that only takes writes.
TEST(Startup, UnreadableRuleFileMountsWithoutRules)
{
    const char write_only[] = "/proc/sys/vm/compact_memory";
    if (access(write_only, F_OK) != 0 || open(write_only, O_RDONLY) != -1)
        GTEST_SKIP() << "no write-only file to stand in for an unreadable one";
    const temp_dir base;
    ASSERT_EQ(symlink(write_only, (base / "tavrin.conf").c_str()), 0);
    const temp_dir mnt;
    const run_result run =
        run_tavrin({mnt / "absent", "-basedir=" + base.path(), "-seed=2", "-f"});
    EXPECT_EQ(run.out.find("random seed = 2\nread configuration " + base.path() +
                           "/tavrin.conf\nerror injections are not configured!\n"
                           "starting FUSE filesystem tavrin\n"),
              0u)
        << run.out;
    EXPECT_EQ(run.err.find("can't load '" + base.path() + "/tavrin.conf'\n"), 0u) << run.err;
}

// A relative base directory behind a symbolic link, in the background: the
// mount serves the right directory, the rule file is re-read, and the report
// lines printed before libfuse forked are not lost.
TEST(Startup, RelativeBaseDirectoryServesTheResolvedDirectory)
{
    const temp_dir top;
    ASSERT_EQ(mkdir((top / "real").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real", (top / "alias").c_str()), 0);
    ASSERT_EQ(mkdir((top / "mnt").c_str(), 0755), 0);
    write_file(top / "real/hello", "hello");

    const std::string out = top / "out";
    const std::string mount_point = top / "mnt";
    const std::string command = "cd '" + top.path() + "' && '" TAVRIN_BINARY "' '" + mount_point +
                                "' -basedir=alias/ -seed=9 -o attr_timeout=0,entry_timeout=0"
                                " > '" + out + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const pid_t daemon = find_daemon(mount_point);
    ASSERT_NE(daemon, -1);
    EXPECT_TRUE(is_mounted(mount_point));

    EXPECT_EQ(read_file(top / "mnt/hello"), "hello");
    write_file(top / "real/tavrin.conf", "[errinj_errno]\nop_regexp = ^open$\nprobability = 100\n");
    struct stat st;
    EXPECT_EQ(stat((top / "mnt/tavrin.conf").c_str(), &st), 0);
    EXPECT_EQ(open((top / "mnt/hello").c_str(), O_RDONLY), -1);

    EXPECT_EQ(std::system(("fusermount -u '" + mount_point + "'").c_str()), 0);
    if (is_mounted(mount_point)) {
        ADD_FAILURE() << "still mounted after fusermount -u";
        std::system(("fusermount -uz '" + mount_point + "'").c_str());
    }
    EXPECT_TRUE(ended_in_time(daemon));
    EXPECT_EQ(read_file(out).find("random seed = 9\nread configuration " + top.path() +
                                  "/real/tavrin.conf\nstarting FUSE filesystem tavrin\n"),
              0u)
        << read_file(out);
}

// Names with a comma or a backslash reach libfuse's subdir module whole.
TEST(Startup, BaseDirectoryNamesWithCommasAndBackslashes)
{
    const temp_dir top;
    const std::string base = top / "a,b\\c";
    ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
    write_file(base + "/inside", "found");
    ASSERT_EQ(mkdir((top / "mnt").c_str(), 0755), 0);
    const std::string mount_point = top / "mnt";

    const pid_t daemon = fork();
    if (daemon == 0) {
        setpgid(0, 0);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(TAVRIN_BINARY, "tavrin", mount_point.c_str(), ("-basedir=" + base).c_str(), "-f",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 2000 && !is_mounted(mount_point); ++i)
        usleep(5000);
    EXPECT_TRUE(is_mounted(mount_point));
    EXPECT_EQ(read_file(mount_point + "/inside"), "found");
    std::system(("fusermount -u '" + mount_point + "'").c_str());
    EXPECT_TRUE(exited_with(reap(daemon, std::chrono::milliseconds(10000)), 0));
}

// New files get exactly the mode the caller asked for, whatever the umask
// the daemon was started with; "-o subdir" and "-o modules=" are dropped.
TEST(Startup, ModesAreTheCallersAndUserModulesAreDropped)
{
    const mode_t old_mask = umask(077);
    mounted fs({"-o", "subdir", "-o", "modules=iconv,attr_timeout=0"});
    umask(022);
    write_file(fs.base("seen"), "");
    EXPECT_EQ(access(fs.at("seen").c_str(), F_OK), 0);
    const int fd = open(fs.at("made").c_str(), O_CREAT | O_WRONLY, 0666);
    ASSERT_NE(fd, -1);
    close(fd);
    ASSERT_EQ(mkdir(fs.at("dir").c_str(), 0777), 0);
    struct stat st;
    ASSERT_EQ(stat(fs.base("made").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(stat(fs.base("dir").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    umask(old_mask);
    EXPECT_TRUE(exited_with(fs.unmount(), 0));
}

// SIGTERM, SIGINT (what a terminal sends its foreground job) and fusermount -u
// all end in a clean unmount: exit status 0 and the seed printed again.
TEST(Lifecycle, SignalsAndUnmountEndCleanly)
{
    for (int signal : {SIGTERM, SIGINT, 0}) {
        mounted fs(NO_CACHES, "", 77);
        write_file(fs.at("file"), "x");
        const std::string mount_point = fs.mount();
        const int status = signal == 0 ? fs.unmount() : fs.stop_with(signal);
        EXPECT_TRUE(exited_with(status, 0)) << signal << " " << status;
        EXPECT_FALSE(is_mounted(mount_point)) << signal;
        EXPECT_EQ(lines_starting(fs.out(), "random seed = 77").size(), 2u) << fs.out();
    }
}

TEST(Lifecycle, AlreadyMountedMountPointIsRefused)
{
    mounted fs(NO_CACHES);
    write_file(fs.base("occupied"), "");
    const temp_dir other;
    const run_result run = run_tavrin({fs.mount(), "-basedir=" + other.path(), "-seed=6", "-f"});
    EXPECT_TRUE(exited_with(run.status, 1)) << run.status;
    EXPECT_EQ(lines_starting(run.out, "random seed").size(), 1u) << run.out;
    EXPECT_NE(run.err.find("mount point ('" + fs.mount() + "') is already mounted\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out.find("starting FUSE"), std::string::npos) << run.out;
    EXPECT_EQ(read_file(fs.at("occupied")), "");
    EXPECT_TRUE(exited_with(fs.unmount(), 0));
}

// Started with its standard input closed, the daemon still serves files:
// fh == 0 means "no descriptor" to the operations, so descriptor 0 must
// never be a file's.
TEST(Startup, ClosedStandardInputIsNeverHandedToAFile)
{
    mount_settings settings;
    settings.launcher = {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&-"};
    mounted fs(settings);
    write_file(fs.base("file"), "content");
    EXPECT_EQ(read_file(fs.at("file")), "content");
    EXPECT_TRUE(exited_with(fs.unmount(), 0));
}

}  // namespace
