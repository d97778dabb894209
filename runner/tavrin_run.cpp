// tavrin-run: runs one command against a fault-injected mirror of a
// directory and always cleans up. It makes a private mount point (in
// $TMPDIR, or /tmp), optionally
// puts a rule file in place, mounts tavrin in the foreground in a session of
// its own (so a Ctrl-C reaches the command, not the filesystem), runs the
// command inside the mount, then unmounts and reaps tavrin whatever happened.
// Its exit status is the command's, or 128+N when signal N ended it. At the
// end it reads tavrin's trace (the one asked for with -trace=, or one of its
// own) and says, rule by rule, how often each fired, so that a CI log shows
// whether the faults happened at all.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "explore.h"

namespace {

const char USAGE[] =
    "usage: tavrin-run [-seed=N] [-rules=FILE] [-log=FILE] [-trace=FILE] [-lenient] "
    "[-require-fire] [tavrin options] BASEDIR -- COMMAND [ARGS...]\n"
    "       tavrin-run -explore -check=CMD [-explore-ops=RE] [-explore-paths=RE] "
    "[-explore-max=N] [-explore-persist=LIST] [-explore-names=MODEL] [-jobs=N] [-report=FILE] "
    "[-keep] [-seed=N] [tavrin options] BASEDIR -- WORKLOAD [ARGS...]\n";

// Exit status for tavrin-run's own failures, before any command ran.
constexpr int RUN_FAILED = 125;
// Exit status under -require-fire when the command succeeded but a rule in
// force never fired: the faults the test was to meet did not happen.
constexpr int NEVER_FIRED = 123;

struct invocation {
    std::string seed;
    std::string trace;  // -trace= as given, or tavrin-run's own
    std::string rules;
    std::string log;
    std::string basedir;
    bool lenient = false;       // a rule file with a mistake in it is used anyway
    bool require_fire = false;  // success needs every rule to have fired
    explore_settings explore;
    std::vector<std::string> tavrin_options;
    std::vector<std::string> command;
};

void complain(const std::string &message)
{
    fprintf(stderr, "tavrin-run: %s\n", message.c_str());
}

bool starts_with(const std::string &text, const char *prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

bool parse(int argc, char **argv, invocation &run, std::string &error)
{
    int at = 1;
    for (; at < argc && strcmp(argv[at], "--") != 0; ++at) {
        const std::string arg = argv[at];
        if (starts_with(arg, "-seed="))
            run.seed = arg.substr(6);
        else if (starts_with(arg, "-rules="))
            run.rules = arg.substr(7);
        else if (starts_with(arg, "-log="))
            run.log = arg.substr(5);
        else if (starts_with(arg, "-trace="))
            run.trace = arg.substr(7);
        else if (arg == "-lenient")
            run.lenient = true;
        else if (arg == "-require-fire")
            run.require_fire = true;
        else if (explore_option(arg, run.explore, error)) {
            if (!error.empty())
                return false;
        }
        else if (arg == "-o" && at + 1 < argc)
            run.tavrin_options.insert(run.tavrin_options.end(), {arg, argv[++at]});
        else if (arg[0] == '-')
            run.tavrin_options.push_back(arg);
        else if (run.basedir.empty())
            run.basedir = arg;
        else
            return false;
    }
    for (++at; at < argc; ++at)
        run.command.push_back(argv[at]);
    return !run.basedir.empty() && !run.command.empty();
}

// The tavrin installed beside this program, or the one on the PATH.
std::string tavrin_program()
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string beside(self, static_cast<std::size_t>(length));
        beside = beside.substr(0, beside.rfind('/') + 1) + "tavrin";
        if (access(beside.c_str(), X_OK) == 0)
            return beside;
    }
    return "tavrin";
}

bool is_mounted(const std::string &mount_point)
{
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        std::istringstream fields(line);
        std::string skip, point;
        fields >> skip >> skip >> skip >> skip >> point;
        if (point == mount_point)
            return true;
    }
    return false;
}

std::vector<char *> argv_of(std::vector<std::string> &words)
{
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return argv;
}

// The control socket of a run: beside its mount point, never in the mirror.
std::string control_path(const std::string &mount_point)
{
    return mount_point + ".control";
}

pid_t start_tavrin(const invocation &run, const std::string &mount_point)
{
    std::vector<std::string> words = {tavrin_program(), mount_point, "-basedir=" + run.basedir,
                                      "-seed=" + run.seed, "-trace=" + run.trace, "-f"};
    if (!run.rules.empty())
        words.push_back("-rules=" + run.rules);
    if (!run.lenient)
        words.push_back("-strict");
    words.push_back("-control=" + control_path(mount_point));
    words.insert(words.end(), run.tavrin_options.begin(), run.tavrin_options.end());
    const int log = run.log.empty() ? dup(2)
                                    : open(run.log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (log == -1) {
        complain("cannot open " + run.log + ": " + strerror(errno));
        return -1;
    }
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        // A tavrin-run killed outright takes its daemon with it: libfuse
        // unmounts on SIGTERM.
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent)
            _exit(127);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(log, 1);
        dup2(log, 2);
        std::vector<char *> argv = argv_of(words);
        execvp(argv[0], argv.data());
        fprintf(stderr, "tavrin-run: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    close(log);
    return child;
}

// Waits for pid within the bound; returns its wait status, or -1 past it.
int wait_bounded(pid_t pid, std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status;
}

volatile sig_atomic_t forwarded_signal = 0;
volatile pid_t command_pid = 0;

void forward(int signal)
{
    forwarded_signal = signal;
    if (command_pid > 0)
        kill(command_pid, signal);
}

const int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction original_actions[std::size(ENDING_SIGNALS)];

const struct sigaction &original_action(int signal)
{
    std::size_t i = 0;
    while (ENDING_SIGNALS[i] != signal)
        ++i;
    return original_actions[i];
}

// While the command runs, a Ctrl-C from the terminal reaches the command by
// itself, as system() has it; one sent to tavrin-run alone, by a process,
// is passed on, so that it ends the command as a Ctrl-C would.
void forward_if_sent(int signal, siginfo_t *info, void *)
{
    if (info->si_code <= 0 && command_pid > 0)  // SI_USER, SI_QUEUE, SI_TKILL
        kill(command_pid, signal);
}

// From the first instruction on, a signal that would end tavrin-run is
// noted instead, so that whatever was set up is taken down. One that was
// ignored when tavrin-run started stays ignored, for the command too.
void note_ending_signals()
{
    static bool saved = false;
    struct sigaction noting = {};
    noting.sa_handler = forward;
    for (std::size_t i = 0; i < std::size(ENDING_SIGNALS); ++i) {
        if (!saved)
            sigaction(ENDING_SIGNALS[i], nullptr, &original_actions[i]);
        if (original_actions[i].sa_handler != SIG_IGN)
            sigaction(ENDING_SIGNALS[i], &noting, nullptr);
    }
    saved = true;
}

bool wait_for_mount(pid_t tavrin, const std::string &mount_point)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!is_mounted(mount_point)) {
        int status = 0;
        if (forwarded_signal != 0 || waitpid(tavrin, &status, WNOHANG) == tavrin ||
            std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Like system(): while the command runs, a Ctrl-C is the command's to act
// on; a termination, or an interrupt sent to tavrin-run alone, is passed on
// to it.
int run_command(invocation &run, const std::string &mount_point)
{
    // Blocked until the child has the dispositions it is to run with and
    // the parent knows whom to pass a termination on to.
    sigset_t ending, unblocked;
    sigemptyset(&ending);
    for (const int signal : ENDING_SIGNALS)
        sigaddset(&ending, signal);
    sigprocmask(SIG_BLOCK, &ending, &unblocked);
    if (forwarded_signal != 0) {  // it came before the command could start
        sigprocmask(SIG_SETMASK, &unblocked, nullptr);
        return 128 + forwarded_signal;
    }
    struct sigaction from_a_process = {};
    from_a_process.sa_sigaction = forward_if_sent;
    from_a_process.sa_flags = SA_SIGINFO;
    for (const int signal : {SIGINT, SIGQUIT})
        if (original_action(signal).sa_handler != SIG_IGN)
            sigaction(signal, &from_a_process, nullptr);

    const pid_t child = fork();
    if (child == 0) {
        for (std::size_t i = 0; i < std::size(ENDING_SIGNALS); ++i)
            sigaction(ENDING_SIGNALS[i], &original_actions[i], nullptr);
        sigprocmask(SIG_SETMASK, &unblocked, nullptr);
        if (chdir(mount_point.c_str()) != 0 || setenv("TAVRIN_MOUNT", mount_point.c_str(), 1) != 0 ||
            setenv("TAVRIN_CONTROL", control_path(mount_point).c_str(), 1) != 0 ||
            setenv("TAVRIN_BASEDIR", run.basedir.c_str(), 1) != 0)
            _exit(RUN_FAILED);
        std::vector<char *> argv = argv_of(run.command);
        execvp(argv[0], argv.data());
        fprintf(stderr, "tavrin-run: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    command_pid = child;
    sigprocmask(SIG_SETMASK, &unblocked, nullptr);
    int status = 0;
    while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
    }
    command_pid = 0;
    note_ending_signals();
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

int fusermount(const char *flag, const std::string &mount_point)
{
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execlp("fusermount", "fusermount", flag, mount_point.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// Unmounts (retrying while something still holds the mount, then lazily)
// and reaps tavrin, with SIGTERM and SIGKILL as the last resorts. A tavrin
// that has not mounted yet serves nobody: it is stopped, not waited for.
void tear_down(pid_t tavrin, const std::string &mount_point)
{
    if (tavrin > 0 && !is_mounted(mount_point))
        kill(tavrin, SIGTERM);
    for (int attempt = 0; is_mounted(mount_point) && attempt < 50; ++attempt) {
        if (fusermount("-u", mount_point) == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (is_mounted(mount_point))
        fusermount("-uz", mount_point);
    if (tavrin > 0 && wait_bounded(tavrin, std::chrono::seconds(10)) == -1) {
        kill(tavrin, SIGTERM);
        if (wait_bounded(tavrin, std::chrono::seconds(5)) == -1) {
            kill(tavrin, SIGKILL);
            waitpid(tavrin, nullptr, 0);
        }
    }
    // Stopped between mounting and taking its signals, it left its mount.
    if (is_mounted(mount_point))
        fusermount("-uz", mount_point);
}

// A rule file given with -rules= must be one tavrin can read.
bool rules_usable(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        complain("cannot read " + path + ": " + strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        complain(path + " is not a regular file");
        return false;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        complain("cannot read " + path + ": " + strerror(errno));
        return false;
    }
    close(fd);
    return true;
}

// tavrin's own check of the rule file, its complaints on our standard error;
// whether there was none.
bool rules_pass_check(const std::string &path)
{
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        const std::string option = "-check-rules=" + path;
        const std::string program = tavrin_program();
        execlp(program.c_str(), program.c_str(), option.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    complain(path + " has mistakes (above); -lenient uses it anyway");
    return false;
}

// Per rule, in the order the rules first appeared: how often it fired out of
// how many hits. Summaries (written when a rule set is let go) are summed
// over every load; a trace cut short by a killed tavrin has only the fire
// events to count, and no hits.
struct rule_tally {
    std::string name;
    uint64_t hits = 0;
    uint64_t fires = 0;
    uint64_t fire_events = 0;
};

// Returns the names of the rules that never fired; *rules, how many there were.
std::vector<std::string> print_rule_summary(const std::string &trace, std::size_t *rules)
{
    std::ifstream in(trace);
    std::vector<rule_tally> tallies;
    bool summarized = false;
    auto tally_of = [&](const std::string &name) -> rule_tally & {
        for (rule_tally &tally : tallies)
            if (tally.name == name)
                return tally;
        tallies.push_back({name});
        return tallies.back();
    };
    for (std::string line; std::getline(in, line);) {
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        if (!event.is_object() || !event.contains("event") || !event["event"].is_string())
            continue;
        const std::string kind = event["event"].get<std::string>();
        // A line of the wrong shape (written by hand, or by another version)
        // is passed over, whatever field is off.
        try {
            if (kind == "load" && event.contains("rules")) {
                for (const nlohmann::json &rule : event["rules"])
                    tally_of(rule.value("name", ""));
            } else if (kind == "fire") {
                ++tally_of(event.value("rule", "")).fire_events;
            } else if (kind == "summary") {
                rule_tally &tally = tally_of(event.value("rule", ""));
                tally.hits += event.value("hits", uint64_t{0});
                tally.fires += event.value("fires", uint64_t{0});
                summarized = true;
            }
        } catch (const nlohmann::json::exception &) {
        }
    }
    std::vector<std::string> never_fired;
    *rules = tallies.size();
    for (const rule_tally &tally : tallies) {
        const uint64_t fires = summarized ? tally.fires : tally.fire_events;
        const std::string hits = summarized ? std::to_string(tally.hits) : "?";
        fprintf(stderr, "tavrin-run: rule %s fired %llu times in %s hits%s\n", tally.name.c_str(),
                static_cast<unsigned long long>(fires), hits.c_str(),
                fires == 0 ? " -- never fired" : "");
        if (fires == 0)
            never_fired.push_back(tally.name);
    }
    return never_fired;
}

}  // namespace

int main(int argc, char **argv)
{
    note_ending_signals();
    invocation run;
    std::string error;
    if (!parse(argc, argv, run, error)) {
        if (!error.empty())
            complain(error);
        fputs(USAGE, stderr);
        return RUN_FAILED;
    }
    if (run.seed.empty())
        run.seed = std::to_string(static_cast<int>(static_cast<uint32_t>(time(nullptr))));
    if (run.explore.enabled) {
        struct stat dir;
        if (stat(run.basedir.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)) {
            complain(run.basedir + " is not a directory");
            return RUN_FAILED;
        }
        return explore(run.explore, run.seed, run.basedir, run.tavrin_options, run.command);
    }

    struct stat st;
    if (stat(run.basedir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        complain(run.basedir + " is not a directory");
        return RUN_FAILED;
    }
    // The rules are read where they are; BASEDIR holds only what the command
    // makes of it.
    if (!run.rules.empty() && !rules_usable(run.rules))
        return RUN_FAILED;
    const std::string checked = !run.rules.empty() ? run.rules : run.basedir + "/tavrin.conf";
    struct stat rule_file;
    if (!run.lenient && stat(checked.c_str(), &rule_file) == 0 && !rules_pass_check(checked))
        return RUN_FAILED;

    const char *tmpdir = getenv("TMPDIR");
    std::string templ = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/tavrin-run.XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        complain(std::string("cannot make a mount point: ") + strerror(errno));
        return RUN_FAILED;
    }
    const std::string mount_point = templ;
    const bool own_trace = run.trace.empty();
    if (own_trace)
        run.trace = mount_point + ".trace";

    int result = RUN_FAILED;
    const pid_t tavrin = forwarded_signal == 0 ? start_tavrin(run, mount_point) : -1;
    if (tavrin > 0 && wait_for_mount(tavrin, mount_point))
        result = run_command(run, mount_point);
    else if (tavrin > 0 && forwarded_signal == 0)
        complain("tavrin did not mount " + run.basedir);
    // A signal before the command ran ends tavrin-run as it would have.
    if (result == RUN_FAILED && forwarded_signal != 0)
        result = 128 + forwarded_signal;

    tear_down(tavrin, mount_point);
    rmdir(mount_point.c_str());
    unlink(control_path(mount_point).c_str());  // tavrin's own, should it have been killed
    std::vector<std::string> never_fired;
    std::size_t rules = 0;
    if (tavrin > 0)
        never_fired = print_rule_summary(run.trace, &rules);
    if (own_trace)
        unlink(run.trace.c_str());
    if (result != RUN_FAILED || tavrin > 0)
        fprintf(stderr, "tavrin-run: seed %s; repeat this run with -seed=%s\n", run.seed.c_str(),
                run.seed.c_str());
    if (run.require_fire && result == 0 && (rules == 0 || !never_fired.empty())) {
        if (rules == 0)
            complain("-require-fire: no rule was in force");
        for (const std::string &name : never_fired)
            complain("-require-fire: rule " + name + " never fired");
        return NEVER_FIRED;
    }
    return result;
}
