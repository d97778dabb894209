// Exploring crash points: the snapshot, the recording run, the choice of
// points, the crash runs (-jobs at a time), the report, and the clean-up.
#include "explore.h"

#include <fcntl.h>
#include <limits.h>
#include <regex.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

namespace {

constexpr int EXPLORE_FAILED = 125;

struct crash_point {
    std::string op;    // "" for the point after the workload has ended
    std::string path;  // below the base directory
    unsigned ordinal = 0;
};

struct crash_run {
    std::size_t point = 0;  // index among the recorded points
    unsigned persist = 0;
    bool reached = false;
    bool failed = false;
    int check_status = 0;
    std::string last_lines;
    nlohmann::json cut;  // what the cut did, from the run's trace
    std::string rules;   // the run's rule file, for the repeat
    std::string copy;    // under -keep, the state a failing run left
};

void say(const std::string &text)
{
    fprintf(stderr, "tavrin-run: %s\n", text.c_str());
}

std::string self_dir()
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string path = length > 0 ? std::string(self, static_cast<std::size_t>(length)) : "";
    return path.substr(0, path.rfind('/') + 1);
}

std::atomic<int> stop_signal{0};
std::mutex children_mutex;
std::set<pid_t> children;

void note_stop(int signal)
{
    stop_signal = signal;
}

// Runs argv to its end, in cwd, with TMPDIR and extra variables set and its
// output to out; a child that outlives us is sent SIGTERM (tavrin-run then
// takes its mount down).
int run_process(const std::vector<std::string> &argv, const std::string &cwd,
                const std::vector<std::pair<std::string, std::string>> &env,
                const std::string &out)
{
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent)
            _exit(126);
        const int in = open("/dev/null", O_RDONLY);
        const int log = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in == -1 || log == -1 || (!cwd.empty() && chdir(cwd.c_str()) != 0))
            _exit(126);
        dup2(in, 0);
        dup2(log, 1);
        dup2(log, 2);
        for (const auto &[name, value] : env)
            setenv(name.c_str(), value.c_str(), 1);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    {
        const std::lock_guard<std::mutex> held(children_mutex);
        children.insert(child);
    }
    int status = 0;
    while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
    }
    const std::lock_guard<std::mutex> held(children_mutex);
    children.erase(child);
    return status;
}

int exit_code(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool copy_tree(const std::string &from, const std::string &to, const std::string &log)
{
    return run_process({"cp", "-a", "--reflink=auto", from, to}, "", {}, log) == 0;
}

std::string escaped(const std::string &text)
{
    std::string pattern;
    for (const char c : text) {
        if (strchr("\\^$.|?*+()[]{}", c) != nullptr)
            pattern += '\\';
        pattern += c;
    }
    return pattern;
}

// A POSIX extended pattern, case ignored, as tavrin's own patterns are (the
// standard library's regex trips GCC 12's warnings in some builds).
class pattern {
public:
    explicit pattern(const std::string &text)
        : ok_(regcomp(&regex_, text.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB) == 0) {}
    ~pattern()
    {
        if (ok_)
            regfree(&regex_);
    }
    pattern(const pattern &) = delete;
    pattern &operator=(const pattern &) = delete;
    bool compiled() const { return ok_; }
    bool matches(const std::string &text) const
    {
        return ok_ && regexec(&regex_, text.c_str(), 0, nullptr, 0) == 0;
    }

private:
    regex_t regex_;
    bool ok_;
};

std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<nlohmann::json> trace_events(const std::string &path)
{
    std::vector<nlohmann::json> events;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_object() && event.contains("event") && event["event"].is_string())
            events.push_back(std::move(event));
    }
    return events;
}

std::string last_lines(const std::string &text, std::size_t count)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::string tail;
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
        tail += (tail.empty() ? "" : " | ") + lines[i];
    return tail;
}

// Everything the runs need, and where their copies live.
struct exploration {
    const explore_settings &settings;
    std::string seed, basedir, work, snapshot, run_program, ctl_program;
    std::vector<std::string> tavrin_options, workload;
    std::vector<crash_point> points;
    std::atomic<std::size_t> next_copy{0};

    // A tavrin-run of the workload (or of the workload then an ordered cut)
    // on a fresh copy; its copy, trace and status.
    struct outcome {
        std::string copy, trace, log;
        int status = 0;
    };
    outcome run(const std::string &rules, bool cut_when_done, unsigned persist)
    {
        outcome result;
        const std::string id = std::to_string(next_copy++);
        result.copy = work + "/copy-" + id;
        result.trace = work + "/trace-" + id;
        result.log = work + "/log-" + id;
        const std::string rule_file = work + "/rules-" + id;
        if (!copy_tree(snapshot, result.copy, result.log)) {
            result.status = -1;
            return result;
        }
        std::ofstream(rule_file) << with_base(rules, result.copy);
        std::vector<std::string> argv = {run_program, "-lenient", "-seed=" + seed,
                                         "-rules=" + rule_file, "-trace=" + result.trace,
                                         "-log=" + result.log};
        // A file removed while open is removed, not renamed to a .fuse_hidden
        // name: whether libfuse had heard of its release yet would otherwise
        // make the runs take different paths.
        argv.insert(argv.end(), {"-o", "hard_remove"});
        argv.insert(argv.end(), tavrin_options.begin(), tavrin_options.end());
        argv.push_back(result.copy);
        argv.push_back("--");
        if (cut_when_done) {
            argv.insert(argv.end(), {"sh", "-c",
                                     "\"$@\"; exec \"$TAVRIN_CTL\" \"$TAVRIN_CONTROL\" cut kill=mount "
                                     "names=" + settings.names + " persist=" + std::to_string(persist),
                                     "sh"});
        }
        argv.insert(argv.end(), workload.begin(), workload.end());
        result.status = run_process(argv, "", {{"TMPDIR", work}, {"TAVRIN_CTL", ctl_program}},
                                    result.log);
        return result;
    }

    // A rule file's @BASE@ is the copy it is for.
    static std::string with_base(std::string text, const std::string &copy)
    {
        for (std::size_t at; (at = text.find("@BASE@")) != std::string::npos;)
            text.replace(at, 6, escaped(copy));
        return text;
    }

    std::string cut_rule(const crash_point &point, unsigned persist) const
    {
        std::string rule = "[errinj_power_cut.explore]\nprobability = 100\npersist = " +
                           std::to_string(persist) + "\nnames = " + settings.names +
                           "\nkill = mount\n";
        if (point.op.empty())  // the final point: the cut is ordered when the workload ends
            return rule + "path_regexp = ^$\n";
        return rule + "op_regexp = ^" + point.op + "$\npath_regexp = ^@BASE@" +
               escaped(point.path) + "$\nafter = " + std::to_string(point.ordinal - 1) +
               "\ncount = 1\n";
    }
};

// The recording run: every check of the chosen operations fires a slowdown
// of no time, which the trace records with its operation and path.
bool record(exploration &x)
{
    const std::string rules = "[errinj_slowdown.record]\nop_regexp = " + x.settings.ops +
                              "\nprobability = 100\nduration = 0\n"
                              "[errinj_power_cut.record]\npath_regexp = ^$\nprobability = 100\n"
                              "names = " + x.settings.names + "\n";
    exploration::outcome recorded = x.run(rules, false, 0);
    if (recorded.status == -1) {
        say("cannot copy " + x.basedir + ": " + last_lines(read_text(recorded.log), 3));
        return false;
    }
    if (exit_code(recorded.status) != 0) {
        say("the workload failed on its own in the recording run, with status " +
            std::to_string(exit_code(recorded.status)) + "; nothing explored");
        return false;
    }
    const pattern paths(x.settings.paths);
    const std::string prefix = recorded.copy + "/";
    std::map<std::pair<std::string, std::string>, unsigned> ordinals;
    for (const nlohmann::json &event : trace_events(recorded.trace)) {
        if (event["event"] != "fire" || event.value("rule", "") != "errinj_slowdown.record" ||
            !event.contains("path"))
            continue;
        std::string path = event.value("path", "");
        path = path.compare(0, prefix.size(), prefix) == 0 ? "/" + path.substr(prefix.size()) : path;
        if (!paths.matches(path))
            continue;
        const std::string op = event.value("op", "");
        x.points.push_back({op, path, ++ordinals[{op, path}]});
    }
    x.points.push_back({"", "", 0});
    return true;
}

// All points when there are few enough; otherwise the first, the last and
// one from each of the stretches between, drawn from the seed.
std::vector<std::size_t> choose(const exploration &x)
{
    const std::size_t count = x.points.size(), most = std::max(2u, x.settings.max);
    std::vector<std::size_t> chosen;
    if (count <= most) {
        for (std::size_t i = 0; i < count; ++i)
            chosen.push_back(i);
        return chosen;
    }
    std::mt19937_64 random(static_cast<uint32_t>(strtol(x.seed.c_str(), nullptr, 10)));
    chosen.push_back(0);
    const std::size_t inner = count - 2, stretches = most - 2;
    for (std::size_t s = 0; s < stretches; ++s) {
        const std::size_t from = 1 + s * inner / stretches, to = 1 + (s + 1) * inner / stretches;
        chosen.push_back(from + random() % std::max<std::size_t>(1, to - from));
    }
    chosen.push_back(count - 1);
    return chosen;
}

std::string describe(const crash_point &point)
{
    if (point.op.empty())
        return "the end of the workload";
    return point.op + " #" + std::to_string(point.ordinal) + " of " + point.path;
}

void crash(exploration &x, crash_run &run)
{
    const crash_point &point = x.points[run.point];
    run.rules = x.cut_rule(point, run.persist);
    exploration::outcome outcome = x.run(run.rules, point.op.empty(), run.persist);
    for (const nlohmann::json &event : trace_events(outcome.trace)) {
        if ((event["event"] == "fire" && event.value("rule", "") == "errinj_power_cut.explore") ||
            event["event"] == "ordered_cut") {
            run.reached = true;
            run.cut = event.value("power_cut", nlohmann::json::object());
        }
    }
    if (run.reached) {
        const std::string output = x.work + "/check-" + std::to_string(x.next_copy++);
        run.check_status = exit_code(run_process({"sh", "-c", x.settings.check}, outcome.copy,
                                                 {{"TAVRIN_DIR", outcome.copy}}, output));
        run.last_lines = last_lines(read_text(output), 3);
        run.failed = run.check_status != 0;
    }
    if (x.settings.keep && run.failed)
        run.copy = outcome.copy;
    else
        run_process({"rm", "-rf", outcome.copy}, "", {}, "/dev/null");
}

std::string seconds(double value)
{
    char text[32];
    snprintf(text, sizeof text, "%.0fs", value);
    return text;
}

}  // namespace

bool explore_option(const std::string &arg, explore_settings &settings, std::string &error)
{
    const auto value = [&](const char *prefix, std::string &field) {
        if (arg.compare(0, strlen(prefix), prefix) != 0)
            return false;
        field = arg.substr(strlen(prefix));
        return true;
    };
    std::string text;
    if (arg == "-explore")
        settings.enabled = true;
    else if (arg == "-keep")
        settings.keep = true;
    else if (value("-check=", settings.check) || value("-explore-ops=", settings.ops) ||
             value("-explore-paths=", settings.paths) || value("-report=", settings.report))
        ;
    else if (value("-explore-names=", settings.names)) {
        if (settings.names != "synced" && settings.names != "journal" && settings.names != "durable")
            error = "-explore-names takes synced, journal or durable";
    } else if (value("-explore-max=", text) || value("-jobs=", text)) {
        char *end = nullptr;
        const unsigned long number = strtoul(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || number < 1 || number > 100000)
            error = arg + ": a whole number from 1 is meant";
        (arg[1] == 'j' ? settings.jobs : settings.max) = static_cast<unsigned>(number);
    } else if (value("-explore-persist=", text)) {
        settings.persist.clear();
        std::istringstream list(text);
        for (std::string item; std::getline(list, item, ',');) {
            char *end = nullptr;
            const unsigned long number = strtoul(item.c_str(), &end, 10);
            if (item.empty() || *end != '\0' || number > 100)
                error = "-explore-persist takes percentages from 0 to 100, separated by commas";
            settings.persist.push_back(static_cast<unsigned>(number));
        }
        if (settings.persist.empty())
            error = "-explore-persist takes percentages from 0 to 100, separated by commas";
    } else {
        return false;
    }
    return true;
}

int explore(const explore_settings &settings, const std::string &seed, const std::string &basedir,
            const std::vector<std::string> &tavrin_options, const std::vector<std::string> &workload)
{
    if (settings.check.empty()) {
        say("-explore needs -check=CMD, which says whether a state is acceptable");
        return EXPLORE_FAILED;
    }
    if (!pattern(settings.paths).compiled() || !pattern(settings.ops).compiled()) {
        say("-explore-paths or -explore-ops: the pattern does not compile");
        return EXPLORE_FAILED;
    }
    const char *tmpdir = getenv("TMPDIR");
    std::string work = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/tavrin-explore.XXXXXX";
    if (mkdtemp(work.data()) == nullptr) {
        say(std::string("cannot make a work directory: ") + strerror(errno));
        return EXPLORE_FAILED;
    }
    // Killed outright, we leave a janitor that waits for the runs' tavrin-run
    // to take their mounts down (they are sent SIGTERM), then removes it all.
    int janitor_pipe[2];
    if (pipe2(janitor_pipe, O_CLOEXEC) == 0 && fork() == 0) {
        close(janitor_pipe[1]);
        char byte;
        while (read(janitor_pipe[0], &byte, 1) < 0 && errno == EINTR) {
        }
        for (int i = 0; i < 300; ++i) {
            std::ifstream mounts("/proc/self/mountinfo");
            const std::string all((std::istreambuf_iterator<char>(mounts)), std::istreambuf_iterator<char>());
            if (all.find(" " + work + "/") == std::string::npos)
                break;
            usleep(100000);
        }
        execlp("rm", "rm", "-rf", work.c_str(), static_cast<char *>(nullptr));
        _exit(1);
    }
    close(janitor_pipe[0]);

    struct sigaction noting = {};
    noting.sa_handler = note_stop;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &noting, nullptr);

    exploration x{settings, seed, basedir, work, work + "/snapshot", self_dir() + "tavrin-run",
                  self_dir() + "tavrin-ctl", tavrin_options, workload, {}, {0}};
    const auto started = std::chrono::steady_clock::now();
    int result = 0;
    std::vector<crash_run> runs;
    if (!copy_tree(basedir, x.snapshot, work + "/snapshot.log")) {
        say("cannot copy " + basedir + ": " + last_lines(read_text(work + "/snapshot.log"), 3));
        result = EXPLORE_FAILED;
    } else if (!record(x)) {
        result = EXPLORE_FAILED;
    }

    if (result == 0) {
        const std::vector<std::size_t> chosen = choose(x);
        for (const std::size_t point : chosen)
            for (const unsigned persist : settings.persist)
            {
                crash_run run;
                run.point = point;
                run.persist = persist;
                runs.push_back(run);
            }
        std::atomic<std::size_t> next{0}, done{0}, failed{0};
        std::mutex progress;
        const auto worker = [&] {
            for (std::size_t i; stop_signal == 0 && (i = next++) < runs.size();) {
                crash(x, runs[i]);
                ++done;
                failed += runs[i].failed || !runs[i].reached;
                const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
                const std::lock_guard<std::mutex> held(progress);
                fprintf(stderr, "\rtavrin-run: explored %zu of %zu, %zu failed, %s left   ",
                        done.load(), runs.size(), failed.load(),
                        seconds(elapsed / double(done) * double(runs.size() - done)).c_str());
            }
        };
        std::vector<std::thread> workers;
        for (unsigned j = 0; j < settings.jobs; ++j)
            workers.emplace_back(worker);
        for (std::thread &thread : workers)
            thread.join();
        fprintf(stderr, "\n");
        runs.resize(std::min(runs.size(), done.load()));
    }

    // The report: a line per failing run, then the totals.
    std::size_t failures = 0, not_reached = 0;
    std::ofstream report;
    if (!settings.report.empty())
        report.open(settings.report, std::ios::app);
    const crash_run *first_failure = nullptr;
    for (const crash_run &run : runs) {
        const crash_point &point = x.points[run.point];
        if (!run.reached) {
            ++not_reached;
            printf("not reached: point %zu, %s, persist %u\n", run.point + 1, describe(point).c_str(),
                   run.persist);
        } else if (run.failed) {
            ++failures;
            if (first_failure == nullptr)
                first_failure = &run;
            printf("failed: point %zu, %s, persist %u: %llu files rolled back, %llu bytes lost, "
                   "%llu name changes undone; the check exited with %d: %s\n",
                   run.point + 1, describe(point).c_str(), run.persist,
                   run.cut.value("files", 0ull), run.cut.value("lost", 0ull),
                   run.cut.value("names_undone", 0ull), run.check_status, run.last_lines.c_str());
        }
        if (report.is_open()) {
            nlohmann::json line = {{"event", "crash_run"}, {"point", run.point + 1},
                                   {"op", point.op.empty() ? "end" : point.op}, {"path", point.path},
                                   {"ordinal", point.ordinal}, {"persist", run.persist},
                                   {"reached", run.reached}, {"failed", run.failed},
                                   {"check_status", run.check_status}, {"cut", run.cut},
                                   {"output", run.last_lines}};
            report << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        }
    }
    if (result == 0)
        printf("crash points: %zu recorded, %zu explored, %zu failed, %zu not reached\n",
               x.points.size(), runs.size(), failures, not_reached);
    if (first_failure != nullptr) {
        // The repeat: the same cut, with the same seed, on a copy of BASEDIR
        // at a path of its own, which it leaves for inspection.
        std::string dir = settings.report.empty() || settings.report.find('/') == std::string::npos
                              ? "."
                              : settings.report.substr(0, settings.report.rfind('/'));
        if (char *resolved = realpath(dir.c_str(), nullptr)) {
            dir = resolved;
            free(resolved);
        }
        const std::string rules = dir + "/tavrin-explore-repeat.conf",
                          state = dir + "/tavrin-explore-state";
        std::ofstream(rules) << exploration::with_base(first_failure->rules, state);
        if (!first_failure->copy.empty()) {
            const std::string kept = dir + "/tavrin-explore-kept";
            run_process({"rm", "-rf", kept}, "", {}, "/dev/null");
            if (run_process({"mv", first_failure->copy, kept}, "", {}, "/dev/null") == 0)
                printf("the state the first failure left: %s\n", kept.c_str());
        }
        std::string command = "rm -rf '" + state + "' && cp -a '" + basedir + "' '" + state +
                              "' && tavrin-run -lenient -seed=" + seed + " -rules='" + rules + "'";
        for (const std::string &option : tavrin_options)
            command += " '" + option + "'";
        command += " '" + state + "' --";
        if (x.points[first_failure->point].op.empty())
            command += " sh -c '\"$@\"; tavrin-ctl \"$TAVRIN_CONTROL\" cut kill=mount names=" +
                       settings.names + " persist=" + std::to_string(first_failure->persist) + "' sh";
        for (const std::string &word : workload)
            command += " '" + word + "'";
        command += "; (cd '" + state + "' && TAVRIN_DIR='" + state + "' sh -c '" + settings.check + "')";
        printf("repeat the first failure: %s\n", command.c_str());
    }
    if (stop_signal != 0) {
        say("interrupted");
        result = 128 + stop_signal;
    } else if (result == 0 && (failures > 0 || not_reached > 0)) {
        result = 1;
    }
    run_process({"rm", "-rf", work}, "", {}, "/dev/null");
    close(janitor_pipe[1]);  // the janitor has nothing left to do
    return result;
}
