// Concurrent load with faults. Client processes run a random mix of
// operations against a multi-threaded mount for a bounded time while errno
// rules fire under errdir/, no-op rules under noopdir/, slowdowns anywhere,
// and another process keeps rewriting the rule file and touching it so it is
// re-read mid-load. Each client keeps a model of its own files and checks:
// every call returns within a bound, every failure is an errno the operation
// may be given or the one the base directory itself would give, and every
// byte a successful write reported is in the base directory. Afterwards the
// daemon must hold no more descriptors than before, its memory must not
// have grown without bound, and it must unmount cleanly.
//
// TAVRIN_STRESS_SECONDS sets the duration (default 60), TAVRIN_STRESS_CLIENTS
// the number of clients (default 8).
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "e2e/mounted.h"
#include "injection/catalogue.h"

namespace {

using clock_type = std::chrono::steady_clock;

int setting(const char *name, int fallback)
{
    const char *value = getenv(name);
    return value && atoi(value) > 0 ? atoi(value) : fallback;
}

// Seconds any one call may take before the client gives up on the daemon.
constexpr unsigned CALL_BOUND = 30;
constexpr int FILES = 5;

// One client's tallies, written to a file as "key value" lines at its end.
struct tallies {
    long operations = 0;
    long injected = 0;   // failures explained by a rule
    long natural = 0;    // failures the base directory itself gives
    long bad = 0;        // failures nothing explains
    long mismatches = 0; // data or names that differ from the model
    std::map<int, long> errors;
    std::vector<std::string> notes;  // the first few bad events, for the report

    void note(const std::string &what)
    {
        if (notes.size() < 10)
            notes.push_back(what);
    }
};

// Where a client works: a model of its files, and whether rules may disturb it.
struct area {
    std::string through;  // directory through the mount
    std::string native;   // the same directory in the base
    bool faults;          // errno and short-transfer rules fire here
    bool noop;            // no-op rules fire here: no model is kept
    std::map<std::string, std::string> files;  // name -> content
    bool subdir = false;
    bool rot = false;     // reads come back with up to ROT_BYTES bytes altered
    bool full = false;    // a full disk: ENOSPC is explained for every call
};

// What the corrupting rule alters of each read request.
constexpr std::size_t ROT_BYTES = 2;

bool in_lists(std::initializer_list<fs_op> ops, int error)
{
    return std::any_of(ops.begin(), ops.end(), [&](fs_op op) { return in_errno_list(op, error); });
}

// What the base directory holds: file names with contents, and the subdirectory.
void state_of(const std::string &directory, std::map<std::string, std::string> &files,
              bool &subdir)
{
    files.clear();
    subdir = false;
    DIR *stream = opendir(directory.c_str());
    if (stream == nullptr)
        return;
    while (const dirent *entry = readdir(stream)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (name == "d")
            subdir = true;
        else
            files[name] = read_file(directory + "/" + name);
    }
    closedir(stream);
}

class client {
public:
    client(int id, const std::string &mount, const std::string &base, clock_type::time_point end)
        : random_(static_cast<unsigned>(id) * 7919u + 1), end_(end)
    {
        const std::string me = "/c" + std::to_string(id);
        areas_.push_back({mount + "/plain" + me, base + "/plain" + me, false, false, {}});
        areas_.push_back({mount + "/errdir" + me, base + "/errdir" + me, true, false, {}});
        areas_.push_back({mount + "/noopdir" + me, base + "/noopdir" + me, false, true, {}});
        areas_.push_back({mount + "/rotdir" + me, base + "/rotdir" + me, false, false, {}});
        areas_.back().rot = true;
        areas_.push_back({mount + "/fulldir" + me, base + "/fulldir" + me, true, false, {}});
        areas_.back().full = true;
        shared_lock_ = mount + "/plain/shared.lock";
    }

    tallies run()
    {
        while (clock_type::now() < end_) {
            area &where = areas_[random_() % areas_.size()];
            alarm(CALL_BOUND);  // a call that never returns ends this client
            step(where);
            alarm(0);
            ++tally_.operations;
        }
        for (area &where : areas_)
            if (!where.noop)
                compare_with_base(where, "at the end");
        return tally_;
    }

private:
    std::string name() { return "f" + std::to_string(random_() % FILES); }

    // Judges a failed call: an errno the listed operations may be given (in
    // an area where rules fire), or the natural one the model predicts.
    void failed(const area &where, const char *call, std::initializer_list<fs_op> ops, int error,
                std::initializer_list<int> natural = {})
    {
        ++tally_.errors[error];
        for (int expected : natural) {
            if (error == expected) {
                ++tally_.natural;
                return;
            }
        }
        if (((where.faults || where.noop) && in_lists(ops, error)) ||
            (where.full && error == ENOSPC)) {
            ++tally_.injected;
            return;
        }
        // A skipped open leaves a handle without a descriptor.
        if (where.noop && error == EBADF) {
            ++tally_.injected;
            return;
        }
        ++tally_.bad;
        tally_.note(std::string(call) + " in " + where.through + ": " + strerror(error));
    }

    // After a failure that may have changed the base directory halfway (a
    // create whose reply failed, say), the base must be in the state before
    // or the state after; the model follows it.
    void settle(area &where, const std::map<std::string, std::string> &after, bool subdir_after)
    {
        if (where.noop)
            return;
        std::map<std::string, std::string> now;
        bool subdir_now = false;
        state_of(where.native, now, subdir_now);
        if ((now == after && subdir_now == subdir_after) ||
            (now == where.files && subdir_now == where.subdir)) {
            where.files = now;
            where.subdir = subdir_now;
            return;
        }
        ++tally_.mismatches;
        tally_.note("base of " + where.native + " is neither before nor after");
        where.files = now;
        where.subdir = subdir_now;
    }

    void compare_with_base(area &where, const char *when)
    {
        std::map<std::string, std::string> now;
        bool subdir_now = false;
        state_of(where.native, now, subdir_now);
        if (now != where.files || subdir_now != where.subdir) {
            ++tally_.mismatches;
            tally_.note(std::string("base of ") + where.native + " differs from the model " + when);
            where.files = now;
            where.subdir = subdir_now;
        }
    }

    void step(area &where)
    {
        switch (random_() % 13) {
        case 0: create(where); break;
        case 1: case 2: case 3: write_some(where); break;
        case 4: case 5: read_some(where); break;
        case 6: truncate_some(where); break;
        case 7: rename_some(where); break;
        case 8: link_and_symlink(where); break;
        case 9: list(where); break;
        case 10: sync_and_lock(where); break;
        case 11: remove(where); break;
        case 12: directory(where); break;
        }
    }

    void create(area &where)
    {
        const std::string file = name();
        auto after = where.files;
        after.emplace(file, "");
        const int fd = open((where.through + "/" + file).c_str(), O_CREAT | O_RDWR, 0644);
        if (fd == -1) {
            failed(where, "create", {OP_GETATTR, OP_CREAT, OP_FGETATTR, OP_OPEN, OP_FLUSH}, errno);
            settle(where, after, where.subdir);
            return;
        }
        if (close(fd) != 0)
            failed(where, "close", {OP_FLUSH}, errno);
        if (!where.noop)
            where.files = after;
    }

    void write_some(area &where)
    {
        const std::string file = name();
        const bool present = where.files.count(file) != 0;
        const int fd = open((where.through + "/" + file).c_str(), O_RDWR);
        if (fd == -1) {
            failed(where, "open", {OP_GETATTR, OP_OPEN}, errno, {present ? 0 : ENOENT});
            return;
        }
        const std::size_t at = random_() % 200000;
        std::string data(1 + random_() % 70000, '\0');
        for (char &c : data)
            c = static_cast<char>('A' + random_() % 26);
        const ssize_t written = pwrite(fd, data.data(), data.size(), static_cast<off_t>(at));
        if (written == -1)
            failed(where, "pwrite", {OP_WRITE}, errno);
        // Requests are split; a fault in a later one leaves a short write, and
        // exactly the bytes reported must have landed.
        if (written > 0 && !where.noop) {
            std::string &content = where.files[file];
            if (content.size() < at + static_cast<std::size_t>(written))
                content.resize(at + static_cast<std::size_t>(written), '\0');
            content.replace(at, static_cast<std::size_t>(written), data, 0,
                            static_cast<std::size_t>(written));
        }
        if (close(fd) != 0)
            failed(where, "close", {OP_FLUSH}, errno);
    }

    void read_some(area &where)
    {
        const std::string file = name();
        const bool present = where.files.count(file) != 0;
        const int fd = open((where.through + "/" + file).c_str(), O_RDONLY);
        if (fd == -1) {
            failed(where, "open", {OP_GETATTR, OP_OPEN}, errno, {present ? 0 : ENOENT});
            return;
        }
        const std::size_t at = random_() % 200000;
        std::string data(1 + random_() % 100000, '\0');
        const ssize_t got = pread(fd, data.data(), data.size(), static_cast<off_t>(at));
        if (got == -1) {
            failed(where, "pread", {OP_READ}, errno);
        } else if (!where.noop) {
            const std::string &content = where.files[file];
            const std::string expected = at < content.size() ? content.substr(at, data.size()) : "";
            // A fault in a later request gives a short read of the right bytes;
            // a corrupting rule alters a few of them, never their number.
            const std::size_t count = static_cast<std::size_t>(got);
            std::size_t altered = 0;
            for (std::size_t i = 0; i < std::min(count, expected.size()); ++i)
                altered += data[i] != expected[i] ? 1 : 0;
            if (count > expected.size() || altered > (where.rot ? ROT_BYTES : 0) ||
                (!where.faults && count != expected.size())) {
                ++tally_.mismatches;
                tally_.note("read of " + file + " in " + where.through + " differs from the model");
            }
        }
        if (close(fd) != 0)
            failed(where, "close", {OP_FLUSH}, errno);
    }

    void truncate_some(area &where)
    {
        const std::string file = name();
        const bool present = where.files.count(file) != 0;
        const std::size_t size = random_() % 150000;
        auto after = where.files;
        if (present)
            after[file].resize(size, '\0');
        if (truncate((where.through + "/" + file).c_str(), static_cast<off_t>(size)) != 0) {
            failed(where, "truncate", {OP_GETATTR, OP_TRUNCATE, OP_FGETATTR}, errno,
                   {present ? 0 : ENOENT});
            settle(where, after, where.subdir);
            return;
        }
        if (!where.noop)
            where.files = after;
    }

    // Never a file onto itself: libfuse 2.9's path locking waits forever on
    // such a rename, which the kernel sends when an injected lookup error has
    // left it two dentries for the one name.
    void rename_some(area &where)
    {
        const std::string from = name();
        std::string to = name();
        while (to == from)
            to = name();
        const bool present = where.files.count(from) != 0;
        auto after = where.files;
        if (present) {
            after[to] = after[from];
            after.erase(from);
        }
        if (rename((where.through + "/" + from).c_str(), (where.through + "/" + to).c_str()) != 0) {
            failed(where, "rename", {OP_GETATTR, OP_RENAME}, errno, {present ? 0 : ENOENT});
            settle(where, after, where.subdir);
            return;
        }
        if (!where.noop)
            where.files = after;
    }

    // A hard link and a symbolic link that live for one step only.
    void link_and_symlink(area &where)
    {
        const std::string file = name();
        const bool present = where.files.count(file) != 0;
        const std::string hard = where.through + "/hard", soft = where.through + "/soft";
        if (link((where.through + "/" + file).c_str(), hard.c_str()) != 0) {
            failed(where, "link", {OP_GETATTR, OP_LINK}, errno, {present ? 0 : ENOENT});
        } else if (!where.noop && read_file(where.native + "/hard") != where.files[file]) {
            ++tally_.mismatches;
            tally_.note("hard link to " + file + " shows other content");
        }
        if (symlink(file.c_str(), soft.c_str()) != 0) {
            failed(where, "symlink", {OP_GETATTR, OP_SYMLINK}, errno);
        } else {
            char text[16] = {};
            const ssize_t length = readlink(soft.c_str(), text, sizeof text - 1);
            if (length == -1)
                failed(where, "readlink", {OP_GETATTR, OP_READLINK}, errno);
            else if (!where.noop && file != text) {
                ++tally_.mismatches;
                tally_.note("symbolic link text differs");
            }
        }
        // Cleared behind the mount, where no rule can keep them.
        unlink((where.native + "/hard").c_str());
        unlink((where.native + "/soft").c_str());
    }

    void list(area &where)
    {
        DIR *stream = opendir(where.through.c_str());
        if (stream == nullptr) {
            failed(where, "opendir", {OP_GETATTR, OP_OPENDIR}, errno);
            return;
        }
        std::set<std::string> names;
        errno = 0;
        while (const dirent *entry = readdir(stream))
            names.insert(entry->d_name);
        if (errno != 0)
            failed(where, "readdir", {OP_READDIR}, errno);
        if (closedir(stream) != 0)
            failed(where, "closedir", {OP_RELEASEDIR}, errno);
        if (where.noop || where.faults)
            return;  // a failed readdir lists nothing
        std::set<std::string> expected = {".", ".."};
        for (const auto &file : where.files)
            expected.insert(file.first);
        if (where.subdir)
            expected.insert("d");
        if (names != expected) {
            ++tally_.mismatches;
            tally_.note("listing of " + where.through + " differs from the model");
        }
    }

    void sync_and_lock(area &where)
    {
        const bool shared = random_() % 2 == 0;
        const std::string path = shared ? shared_lock_ : where.through + "/" + name();
        const int fd = open(path.c_str(), shared ? O_RDWR | O_CREAT : O_RDWR, 0644);
        if (fd == -1) {
            const bool present = shared || where.files.count(path.substr(path.rfind('/') + 1));
            failed(where, "open", {OP_GETATTR, OP_OPEN, OP_CREAT, OP_FGETATTR}, errno,
                   {present ? 0 : ENOENT});
            return;
        }
        if (fsync(fd) != 0)
            failed(where, "fsync", {OP_FSYNC, OP_FLUSH}, errno);
        if (fdatasync(fd) != 0)
            failed(where, "fdatasync", {OP_FSYNC}, errno);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = static_cast<off_t>(random_() % 4);
        lock.l_len = 1;
        // Other clients hold the shared file's bytes now and then.
        if (fcntl(fd, F_SETLK, &lock) != 0) {
            failed(where, "lock", {OP_LOCK}, errno, {EAGAIN, EACCES});
        } else {
            lock.l_type = F_UNLCK;
            if (fcntl(fd, F_SETLK, &lock) != 0)
                failed(where, "unlock", {OP_LOCK}, errno);
        }
        if (close(fd) != 0)
            failed(where, "close", {OP_FLUSH, OP_LOCK}, errno);
    }

    void remove(area &where)
    {
        const std::string file = name();
        const bool present = where.files.count(file) != 0;
        auto after = where.files;
        after.erase(file);
        if (unlink((where.through + "/" + file).c_str()) != 0) {
            failed(where, "unlink", {OP_GETATTR, OP_UNLINK}, errno, {present ? 0 : ENOENT});
            settle(where, after, where.subdir);
            return;
        }
        if (!where.noop)
            where.files = after;
    }

    void directory(area &where)
    {
        const std::string path = where.through + "/d";
        if (!where.subdir) {
            if (mkdir(path.c_str(), 0755) != 0) {
                failed(where, "mkdir", {OP_GETATTR, OP_MKDIR}, errno, {where.noop ? EEXIST : 0});
                settle(where, where.files, true);
            } else if (!where.noop) {
                where.subdir = true;
            }
        } else if (rmdir(path.c_str()) != 0) {
            failed(where, "rmdir", {OP_GETATTR, OP_RMDIR}, errno);
            settle(where, where.files, false);
        } else {
            where.subdir = false;
        }
    }

    std::mt19937 random_;
    clock_type::time_point end_;
    std::vector<area> areas_;
    std::string shared_lock_;
    tallies tally_;
};

void save(const tallies &tally, const std::string &path)
{
    std::ofstream out(path);
    out << "operations " << tally.operations << "\ninjected " << tally.injected << "\nnatural "
        << tally.natural << "\nbad " << tally.bad << "\nmismatches " << tally.mismatches << "\n";
    for (const auto &[error, count] : tally.errors)
        out << "errno " << error << " " << count << "\n";
    for (const std::string &note : tally.notes)
        out << "note " << note << "\n";
}

void add(tallies &total, const std::string &path)
{
    std::ifstream in(path);
    std::string key;
    while (in >> key) {
        if (key == "note") {
            std::string rest;
            std::getline(in, rest);
            total.note(rest);
            continue;
        }
        long value = 0;
        if (key == "errno") {
            int error = 0;
            in >> error >> value;
            total.errors[error] += value;
            continue;
        }
        in >> value;
        if (key == "operations") total.operations += value;
        if (key == "injected") total.injected += value;
        if (key == "natural") total.natural += value;
        if (key == "bad") total.bad += value;
        if (key == "mismatches") total.mismatches += value;
    }
}

// The last count lines of a text, for a report that stays readable.
std::string last_lines(const std::string &text, int count)
{
    std::size_t start = text.size();
    for (int seen = 0; start > 0 && seen <= count; --start)
        if (text[start - 1] == '\n')
            ++seen;
    return text.substr(start == 0 ? 0 : start + 1);
}

long count_descriptors(pid_t pid)
{
    long count = 0;
    DIR *fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    while (fds && readdir(fds))
        ++count;
    if (fds)
        closedir(fds);
    return count - 2;
}

long resident_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}

// Rule files the re-reader takes turns with: errno rules stay under errdir/,
// no-ops under noopdir/, so the clients' models stay exact elsewhere.
std::string rule_file(unsigned variant)
{
    const std::string errno_rule = "[errinj_errno]\npath_regexp = /errdir/\nprobability = " +
                                   std::to_string(10 + variant % 4 * 10) + "\n";
    const std::string noop_rule = "[errinj_noop]\npath_regexp = /noopdir/\nprobability = " +
                                  std::to_string(20 + variant % 3 * 20) + "\n";
    const std::string slow_rule = "[errinj_slowdown]\nprobability = " +
                                  std::to_string(1 + variant % 3) + "\nduration = 20000\n";
    const std::string data_rules =
        "[errinj_short]\npath_regexp = /errdir/\nprobability = " + std::to_string(5 + variant % 3 * 5) +
        "\n[errinj_corrupt]\npath_regexp = /rotdir/\nop_regexp = ^read$\nmode = " +
        (variant % 3 == 0 ? "flip" : variant % 3 == 1 ? "zero" : "random") +
        "\nbytes = " + std::to_string(ROT_BYTES) + "\nprobability = 30\n"
        "[errinj_full_disk]\npath_regexp = /fulldir/\nspace = " +
        std::to_string(100 + variant % 5 * 100) + "K\nprobability = 100\n";
    return variant % 2 ? errno_rule + noop_rule + slow_rule + data_rules
                       : data_rules + slow_rule + noop_rule + errno_rule;
}

TEST(Stress, ConcurrentLoadWithFaults)
{
    const int seconds = setting("TAVRIN_STRESS_SECONDS", 60);
    const int clients = setting("TAVRIN_STRESS_CLIENTS", 8);

    mount_settings settings;
    settings.options = {"-o", "attr_timeout=0,entry_timeout=0,negative_timeout=0,direct_io"};
    settings.rules = rule_file(0);
    settings.seed = 99;
    mounted fs(settings);
    for (const char *top : {"plain", "errdir", "noopdir", "rotdir", "fulldir"}) {
        ASSERT_EQ(mkdir(fs.base(top).c_str(), 0755), 0);
        for (int id = 0; id < clients; ++id)
            ASSERT_EQ(mkdir(fs.base(std::string(top) + "/c" + std::to_string(id)).c_str(), 0755), 0);
    }
    const temp_dir results;
    const long descriptors_before = count_descriptors(fs.daemon_pid());
    const long memory_before = resident_kib(fs.daemon_pid());

    const auto start = clock_type::now();
    const auto end = start + std::chrono::seconds(seconds);
    std::vector<pid_t> children;
    for (int id = 0; id < clients; ++id) {
        fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            client worker(id, fs.mount(), fs.base(), end);
            save(worker.run(), results / std::to_string(id));
            _exit(0);
        }
        children.push_back(child);
    }
    const pid_t rereader = fork();
    if (rereader == 0) {
        std::mt19937 random(5);
        const std::string through = fs.at("tavrin.conf");
        for (unsigned variant = 1; clock_type::now() < end; ++variant) {
            write_file(fs.base("tavrin.conf.new"), rule_file(variant));
            rename(fs.base("tavrin.conf.new").c_str(), fs.base("tavrin.conf").c_str());
            struct stat st;
            stat(through.c_str(), &st);
            // A skip line per rule per check; what matters is the end.
            truncate(fs.err_path().c_str(), 0);
            usleep(static_cast<useconds_t>(20000 + random() % 30000));
        }
        _exit(0);
    }

    const auto bound = std::chrono::milliseconds((seconds + 2 * CALL_BOUND + 10) * 1000L);
    tallies total;
    for (std::size_t id = 0; id < children.size(); ++id) {
        const int status = reap(children[id], bound);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "client " << id << " ended with status " << status
            << (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM ? " (a call did not return)" : "");
        add(total, results / std::to_string(id));
    }
    EXPECT_TRUE(WIFEXITED(reap(rereader, bound)));
    const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();

    const long descriptors_after = count_descriptors(fs.daemon_pid());
    const long memory_after = resident_kib(fs.daemon_pid());
    const std::string out = fs.out();
    const long rereads = static_cast<long>(lines_starting(out, "read configuration ").size()) - 1;
    std::map<std::string, long> fired;
    for (const char *kind : {"errinj_errno", "errinj_noop", "errinj_slowdown", "errinj_short",
                             "errinj_corrupt", "errinj_full_disk"})
        fired[kind] = static_cast<long>(lines_starting(out, std::string(kind) + " triggered").size());
    const int status = fs.unmount();

    std::cout << "clients " << clients << ", " << total.operations << " operations in " << elapsed
              << " s (" << static_cast<long>(static_cast<double>(total.operations) / elapsed) << "/s)\n"
              << "faults fired: errno " << fired["errinj_errno"] << ", noop " << fired["errinj_noop"]
              << ", slowdown " << fired["errinj_slowdown"] << ", short " << fired["errinj_short"]
              << ", corrupt " << fired["errinj_corrupt"] << ", full disk "
              << fired["errinj_full_disk"] << "; rule file re-read " << rereads
              << " times\n"
              << "failures seen: " << total.injected << " from rules, " << total.natural
              << " natural, " << total.bad << " unexplained; mismatches " << total.mismatches << "\n"
              << "descriptors " << descriptors_before << " -> " << descriptors_after
              << ", resident memory " << memory_before << " -> " << memory_after << " KiB\n"
              << "errors by errno:";
    for (const auto &[error, count] : total.errors) {
        const char *name = strerrorname_np(error);
        std::cout << " " << (name ? name : std::to_string(error).c_str()) << "=" << count;
    }
    std::cout << "\n";
    for (const std::string &note : total.notes)
        std::cout << "  " << note << "\n";

    EXPECT_EQ(total.bad, 0);
    EXPECT_EQ(total.mismatches, 0);
    EXPECT_GT(total.injected, 0);
    EXPECT_GT(rereads, 0);
    EXPECT_LE(descriptors_after, descriptors_before);
#ifndef __SANITIZE_ADDRESS__
    // Under AddressSanitizer freed memory sits in quarantine; LeakSanitizer
    // checks for leaks there instead.
    EXPECT_LT(memory_after, memory_before + 64 * 1024) << "resident memory grew without bound";
#endif
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "status " << status << "; standard error ended with:\n" << last_lines(fs.err(), 40);
    EXPECT_EQ(lines_starting(fs.out(), "random seed = 99").size(), 2u);
}

}  // namespace
