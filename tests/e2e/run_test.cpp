// tavrin-run end to end: the command runs inside the mount, its status comes
// back, rule files are put in place and taken away, and no mount or daemon
// is ever left behind, whatever happens to the command.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "mounted.h"

namespace {

// tavrin-run makes its mount points here, so that tests running side by
// side see only their own.
const temp_dir &mount_points()
{
    static const temp_dir dir;
    return dir;
}

bool no_tavrin_mounts()
{
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line))
        if (line.find(" " + mount_points().path() + "/") != std::string::npos)
            return false;
    return true;
}

struct run_outcome {
    int status;
    std::string err;
};

// Starts tavrin-run in a process group of its own, standard error to a file.
pid_t spawn_run(const std::vector<std::string> &arguments, const std::string &err)
{
    std::vector<std::string> argv = {TAVRIN_RUN_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    // Made here, not in the child, whose exit would never remove it.
    const std::string tmpdir = mount_points().path();
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        setenv("TMPDIR", tmpdir.c_str(), 1);
        if (freopen(err.c_str(), "w", stderr) == nullptr)
            _exit(126);
        exec_or_exit(argv, 126);
    }
    return child;
}

// Waits, within a bound, for a file that a command touches when it starts.
void wait_for_file(const std::string &path)
{
    for (int i = 0; i < 2000 && access(path.c_str(), F_OK) != 0; ++i)
        usleep(5000);
}

// Runs tavrin-run, optionally sending its group a signal once the command
// has started (a negative one: to tavrin-run alone).
run_outcome tavrin_run(std::vector<std::string> arguments, int signal_group = 0)
{
    const temp_dir work;
    const std::string err = work / "stderr", started = work / "started";
    if (signal_group != 0)
        arguments.insert(arguments.end(),
                         {"--", "sh", "-c", "touch '" + started + "'; exec sleep 30"});
    const pid_t child = spawn_run(arguments, err);
    if (signal_group != 0) {
        wait_for_file(started);
        if (signal_group > 0)
            kill(-child, signal_group);  // what a terminal does on Ctrl-C
        else
            kill(child, -signal_group);
    }
    const int status = reap(child, std::chrono::milliseconds(40000));
    return {status, read_file(err)};
}

// Whether tavrin-run left no mount point or trace of its own behind.
bool no_mount_points_left()
{
    return std::system(("test \"$(ls -A '" + mount_points().path() + "')\" = ''").c_str()) == 0;
}

int exit_code(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(TavrinRun, RunsTheCommandInsideTheMountAndReturnsItsStatus)
{
    const temp_dir base;
    write_file(base / "file", "content");
    const run_outcome run = tavrin_run(
        {"-seed=12", base.path(), "--", "sh", "-c",
         "test \"$PWD\" = \"$TAVRIN_MOUNT\" && test \"$(cat file)\" = content && exit 7"});
    EXPECT_EQ(exit_code(run.status), 7) << run.err;
    EXPECT_NE(run.err.find("random seed = 12\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("tavrin-run: seed 12; repeat this run with -seed=12\n"), std::string::npos);
    EXPECT_TRUE(no_tavrin_mounts());
}

TEST(TavrinRun, PutsRulesInPlaceAndTakesThemAway)
{
    const temp_dir base, work;
    write_file(base / "victim.lock", "");
    const std::string rules = work / "rules.conf", log = work / "log";
    write_file(rules, "[errinj_kill_caller]\npath_regexp = \\.lock$\nop_regexp = ^open$\n"
                      "probability = 100\n");
    const run_outcome run =
        tavrin_run({"-rules=" + rules, "-log=" + log, base.path(), "--", "cat", "victim.lock"});
    EXPECT_EQ(exit_code(run.status), 128 + SIGKILL) << run.err;
    EXPECT_NE(read_file(log).find("errinj_kill_caller triggered"), std::string::npos);
    EXPECT_EQ(access((base / "tavrin.conf").c_str(), F_OK), -1) << "the copied rules stayed";
    EXPECT_TRUE(no_tavrin_mounts());
}

// At its end tavrin-run says how often each rule fired, and marks the ones
// that never did, from its own trace or from the one asked for.
TEST(TavrinRun, SaysHowOftenEachRuleFired)
{
    const temp_dir base, work;
    write_file(base / "data", "rows");
    const std::string rules = work / "rules.conf", trace = work / "trace.jsonl";
    write_file(rules, "[errinj_errno.reads]\nop_regexp = ^read$\nprobability = 100\n"
                      "errno = EIO\ncount = 2\n"
                      "[errinj_noop.idle]\npath_regexp = /nothing$\nprobability = 100\n");
    const run_outcome run =
        tavrin_run({"-rules=" + rules, "-o", "direct_io", base.path(), "--", "sh", "-c",
                    "for i in 1 2 3 4; do cat data >/dev/null; done"});
    EXPECT_EQ(exit_code(run.status), 0) << run.err;  // the last cat succeeds
    EXPECT_NE(run.err.find("tavrin-run: rule errinj_errno.reads fired 2 times in "),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("tavrin-run: rule errinj_noop.idle fired 0 times in 0 hits -- never "
                           "fired\n"),
              std::string::npos)
        << run.err;

    // A trace asked for is passed on and kept.
    const run_outcome traced = tavrin_run({"-rules=" + rules, "-trace=" + trace, "-draws=keyed",
                                           "-o", "direct_io", base.path(), "--", "cat", "data"});
    EXPECT_NE(read_file(trace).find("\"draws\":\"keyed\""), std::string::npos);
    EXPECT_NE(traced.err.find("tavrin-run: rule errinj_errno.reads fired 1 times in 1 hits\n"),
              std::string::npos)
        << traced.err;
    EXPECT_TRUE(no_tavrin_mounts());
}

// The rules are read where they are: the directory under test holds, during
// and after the run, only what the command made of it, and a tavrin.conf of
// its own is a file like any other.
TEST(TavrinRun, RulesStayOutsideTheDirectoryUnderTest)
{
    const temp_dir base, work;
    write_file(base / "tavrin.conf", "[errinj_noop]\n");
    write_file(base / "data", "rows");
    write_file(work / "rules.conf",
               "[errinj_errno]\npath_regexp = /data$\nop_regexp = ^read$\nprobability = 100\n");
    const run_outcome run = tavrin_run(
        {"-rules=" + work / "rules.conf", "-o", "direct_io", base.path(), "--", "sh", "-c",
         "test \"$(ls -A)\" = \"$(printf 'data\\ntavrin.conf')\" && "
         "test \"$(cat tavrin.conf)\" = '[errinj_noop]' && ! cat data 2>/dev/null"});
    EXPECT_EQ(exit_code(run.status), 0) << run.err;
    EXPECT_EQ(read_file(base / "tavrin.conf"), "[errinj_noop]\n");
    EXPECT_EQ(read_file(base / "data"), "rows");
    EXPECT_TRUE(no_tavrin_mounts());
}

// A rule file with a mistake ends a run before the command (unless
// -lenient); -require-fire fails a run whose command succeeded while a rule
// never fired; a -rules= that is no readable file is refused.
TEST(TavrinRun, MistakesAndFaultsThatNeverHappenedFailTheRun)
{
    const temp_dir base, work;
    const std::string mistaken = work / "mistaken.conf", firing = work / "firing.conf",
                      idle = work / "idle.conf", started = work / "started";
    write_file(mistaken, "[errinj_errno]\nprobabilty = 100\n");
    // EIO, not a drawn errno: cat reads again after EINTR, which would fire twice.
    write_file(firing,
               "[errinj_errno.reads]\nop_regexp = ^read$\nprobability = 100\nerrno = EIO\n");
    write_file(idle, "[errinj_errno.idle]\npath_regexp = /nothing$\nprobability = 100\n");
    write_file(base / "data", "rows");
    const struct {
        std::vector<std::string> options;
        int status;
        const char *said;
    } cases[] = {
        {{"-rules=" + mistaken}, 125, "mistaken.conf:2: unknown option 'probabilty'"},
        {{"-rules=" + mistaken, "-lenient"}, 0, "unknown option 'probabilty'"},
        {{"-rules=" + idle, "-require-fire"}, 123, "-require-fire: rule errinj_errno.idle never fired"},
        {{"-rules=" + firing, "-require-fire", "-o", "direct_io"}, 0, "fired 1 times in 1 hits"},
        {{"-require-fire"}, 123, "-require-fire: no rule was in force"},
        {{"-rules=" + work.path()}, 125, "is not a regular file"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> arguments = c.options;
        arguments.insert(arguments.end(), {base.path(), "--", "sh", "-c",
                                           "touch '" + started + "'; cat data >/dev/null; true"});
        unlink(started.c_str());
        const run_outcome run = tavrin_run(arguments);
        EXPECT_EQ(exit_code(run.status), c.status) << c.options[0] << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        EXPECT_EQ(access(started.c_str(), F_OK) == 0, c.status != 125) << c.options[0];
    }
    EXPECT_TRUE(no_tavrin_mounts());
}

TEST(TavrinRun, FailuresToSetUpLeaveNothingBehind)
{
    const temp_dir base;
    EXPECT_EQ(exit_code(tavrin_run({base / "absent", "--", "true"}).status), 125);
    EXPECT_EQ(exit_code(tavrin_run({base.path()}).status), 125);
    EXPECT_EQ(exit_code(tavrin_run({base.path(), "--", "/no/such/program"}).status), 127);
    EXPECT_TRUE(no_tavrin_mounts());
}

TEST(TavrinRun, InterruptedCommandStillCleansUp)
{
    const temp_dir base;
    const run_outcome interrupted = tavrin_run({base.path()}, SIGINT);
    EXPECT_EQ(exit_code(interrupted.status), 128 + SIGINT) << interrupted.err;
    const run_outcome terminated = tavrin_run({base.path()}, SIGTERM);
    EXPECT_EQ(exit_code(terminated.status), 128 + SIGTERM) << terminated.err;
    // Sent to tavrin-run alone, not its group, each ends the command too.
    for (const int signal : {SIGINT, SIGTERM}) {
        const run_outcome alone = tavrin_run({base.path()}, -signal);
        EXPECT_EQ(exit_code(alone.status), 128 + signal) << alone.err;
    }
    EXPECT_TRUE(no_tavrin_mounts());
    EXPECT_NE(interrupted.err.find("random seed"), std::string::npos);
}

// A signal to tavrin-run alone at any moment of its set-up or its command
// leaves no mount, no rule file and no mount point; killed outright, it
// takes its daemon with it.
TEST(TavrinRun, SignalsAtAnyMomentLeaveNothingBehind)
{
    const temp_dir base, work;
    const std::string rules = work / "rules.conf";
    write_file(rules, "[errinj_noop]\nop_regexp = ^nothing$\n");
    for (const int delay_ms : {0, 1, 3, 10, 30, 100}) {
        const pid_t run =
            spawn_run({"-rules=" + rules, base.path(), "--", "sleep", "30"}, work / "err");
        // Not a wait for anything: the signal is to land in a different
        // phase of the set-up each time.
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        kill(run, SIGTERM);
        const int status = reap(run, std::chrono::milliseconds(20000));
        EXPECT_TRUE(WIFEXITED(status) || WIFSIGNALED(status)) << delay_ms;
        EXPECT_EQ(access((base / "tavrin.conf").c_str(), F_OK), -1) << delay_ms;
        EXPECT_TRUE(no_tavrin_mounts()) << delay_ms;
        EXPECT_TRUE(no_mount_points_left()) << delay_ms << read_file(work / "err");
    }

    const std::string started = work / "started";
    const pid_t run = spawn_run(
        {base.path(), "--", "sh", "-c", "touch '" + started + "'; exec sleep 30"}, work / "err");
    wait_for_file(started);
    kill(run, SIGKILL);
    reap(run, std::chrono::milliseconds(5000));
    for (int i = 0; i < 1000 && !no_tavrin_mounts(); ++i)
        usleep(10000);
    EXPECT_TRUE(no_tavrin_mounts()) << "the daemon outlived tavrin-run";
    kill(-run, SIGKILL);  // the command, which nothing else ends
    std::system(("rmdir '" + mount_points().path() + "'/tavrin-run.* 2>/dev/null").c_str());
}

// A trace line of the wrong shape (here appended by the command itself) is
// passed over, never fatal.
TEST(TavrinRun, MalformedTraceLinesArePassedOver)
{
    const temp_dir base, work;
    const std::string trace = work / "trace.jsonl";
    const std::string lines = "{\"event\":\"summary\",\"rule\":\"x\",\"hits\":\"many\"}\n"
                              "{\"event\":7}\n{\"event\":\"load\",\"rules\":[{\"name\":3}]}\n"
                              "not json\n";
    write_file(work / "lines", lines);
    const run_outcome run = tavrin_run({"-trace=" + trace, base.path(), "--", "sh", "-c",
                                        "cat '" + work / "lines" + "' >> '" + trace + "'"});
    EXPECT_EQ(exit_code(run.status), 0) << run.err;
    EXPECT_NE(read_file(trace).find(lines), std::string::npos);
    EXPECT_NE(run.err.find("tavrin-run: seed "), std::string::npos) << run.err;
}

}  // namespace
