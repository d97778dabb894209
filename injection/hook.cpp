// injection_check: decides, under one process-wide lock, whether an operation
// is disturbed. Everything a check does happens under the lock -- reloading
// the rules, the rand() draws, pattern work, report lines, the kill and the
// slowdown's sleep -- so checks never interleave and a seed replays exactly.
#include "hook.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>
#include <string_view>

mount_state_record mount_state;

namespace {

class lock_guard {
public:
    explicit lock_guard(pthread_mutex_t &mutex) : mutex_(mutex)
    {
        pthread_mutex_lock(&mutex_);
    }
    ~lock_guard() { pthread_mutex_unlock(&mutex_); }
    lock_guard(const lock_guard &) = delete;
    lock_guard &operator=(const lock_guard &) = delete;

private:
    pthread_mutex_t &mutex_;
};

// The standard-error lines of one check that no rule fired for: the skip
// lines and the regcomp/regexec lines before them. They are gathered and
// written at once, because a write per line under the lock is most of what
// a check with several idle rules costs, and they are put together from
// their pieces, because formatting them was most of the rest. What is
// gathered goes out before the check prints anything on standard output and
// when it ends, so the lines and their order across both streams stay as
// they were. A quiet report gathers nothing.
class skip_report {
public:
    explicit skip_report(bool quiet) : quiet_(quiet) {}
    skip_report(const skip_report &) = delete;
    skip_report &operator=(const skip_report &) = delete;
    ~skip_report() { flush(); }

    bool quiet() const { return quiet_; }

    // "errinj 'RULE' skipped: FILTER (VALUE) is not matched"
    void add_skip(const injection_rule &rule, const char *filter, std::string_view value,
                  const char *verdict = "is not matched")
    {
        if (!quiet_)
            add({"errinj '", rule.name, "' skipped: ", filter, " (", value, ") ", verdict, "\n"});
    }

    // The same with a number, printed as a signed decimal.
    void add_skip(const injection_rule &rule, const char *filter, uint32_t value,
                  const char *verdict = "is not matched")
    {
        if (quiet_)
            return;
        char digits[16];
        const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<int>(value)).ptr;
        add_skip(rule, filter, std::string_view(digits, static_cast<std::size_t>(end - digits)),
                 verdict);
    }

    // The line perror(call) would print, with the current errno. The daemon
    // never sets a locale, so strerror's text is the untranslated one;
    // taking it from the table directly spares a message-catalogue search on
    // every line (each regexec that does not match prints one).
    void add_perror(const char *call)
    {
        if (quiet_)
            return;
        const char *description = strerrordesc_np(errno);
        add({call, ": ", description != nullptr ? description : strerror(errno), "\n"});
    }

    void flush()
    {
        if (length_ > 0)
            fwrite(buffer_, 1, length_, stderr);
        length_ = 0;
    }

private:
    void add(std::initializer_list<std::string_view> pieces)
    {
        for (const std::string_view piece : pieces) {
            if (piece.size() > sizeof buffer_ - length_) {
                flush();
                if (piece.size() > sizeof buffer_) {  // a long pattern, as it comes
                    fwrite(piece.data(), 1, piece.size(), stderr);
                    continue;
                }
            }
            memcpy(buffer_ + length_, piece.data(), piece.size());
            length_ += piece.size();
        }
    }

    bool quiet_;
    char buffer_[4096];
    std::size_t length_ = 0;
};

// Who made the request, asked for once per check and only when a rule's
// process or uid filter is reached.
struct requester_info {
    bool known = false;
    int pid = 0;
    uint32_t uid = 0;
    std::string name;  // as /proc/PID/comm holds it, without the line end

    void learn()
    {
        if (known)
            return;
        known = true;
        pid = requester_pid();
        if (pid <= 0)
            return;
        uid = requester_uid();
        char path[32];
        snprintf(path, sizeof path, "/proc/%d/comm", pid);
        const int saved_errno = errno;
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd != -1) {
            char comm[64];
            const ssize_t length = read(fd, comm, sizeof comm);
            close(fd);
            if (length > 0)
                name.assign(comm, static_cast<std::size_t>(comm[length - 1] == '\n' ? length - 1
                                                                                        : length));
        }
        errno = saved_errno;  // perror lines after this show what they showed before
    }
};

// A filter whose pattern is absent lets every text through.
bool filter_passes(const std::unique_ptr<compiled_pattern> &pattern, const char *text,
                   skip_report &report)
{
    if (!pattern)
        return true;
    const char *failed_call = nullptr;
    const int code = pattern->mismatch(text, &failed_call);
    if (failed_call != nullptr)
        report.add_perror(failed_call);
    return code == 0;
}

// The operation's name was matched against the pattern when the rule was
// loaded; here only the lines that a match would print are printed.
bool op_filter_passes(const injection_rule &rule, fs_op op, skip_report &report)
{
    if (rule.op_matches & (1u << op))
        return true;
    report.add_perror(rule.op_pattern->compiled() ? "regexec" : "regcomp");
    return false;
}

// The process and uid filters; a request that no process made passes neither.
bool requester_filters_pass(const injection_rule &rule, requester_info &requester,
                            skip_report &report)
{
    if (rule.process_pattern) {
        requester.learn();
        if (requester.pid <= 0 ||
            !filter_passes(rule.process_pattern, requester.name.c_str(), report)) {
            report.add_skip(rule, "process_regexp", *rule.process_regexp);
            return false;
        }
    }
    if (rule.uid) {
        requester.learn();
        if (requester.pid <= 0 || requester.uid != *rule.uid) {
            report.add_skip(rule, "uid", *rule.uid);
            return false;
        }
    }
    return true;
}

// Some requests have no requester (release, libfuse's own removal of
// .fuse_hidden files arrive with pid 0), and kill(0, ...) would take down the
// filesystem's whole process group; our own pid would kill the mount.
void kill_requester()
{
    const int pid = requester_pid();
    if (pid <= 0 || pid == getpid())
        return;
    if (kill(pid, SIGKILL) != 0)
        perror("kill");
    printf("send signal %s to TID %d\n", strsignal(SIGKILL), pid);
}

void slow_down(const injection_rule &rule, const char *op_name)
{
    printf("start of '%s' slowdown for '%d' ns\n", op_name,
           static_cast<int>(rule.duration));
    // nanosleep refuses a nanosecond field of a second or more; split it.
    const timespec delay = {static_cast<time_t>(rule.duration / 1000000000u),
                            static_cast<long>(rule.duration % 1000000000u)};
    if (nanosleep(&delay, nullptr) != 0) {
        perror("nanosleep");
        return;
    }
    printf("end of '%s' slowdown with '%d' ns\n", op_name,
           static_cast<int>(rule.duration));
}

// One draw from the rule's own list when it has one, else the operation's.
int rule_errno(const injection_rule &rule, fs_op op)
{
    const std::vector<int> &list = op == OP_LOCK ? rule.lock_errnos : rule.errnos;
    if (list.empty())
        return pick_errno(op);
    return list[static_cast<unsigned>(rand()) % list.size()];
}

// Whether the rule passes its draw and every filter; the skip lines of the
// first filter that stops it go to the report.
// Why a rule of a data kind cannot act on this operation, or none.
const char *cannot_act(const injection_rule &rule, fs_op op, const data_request &request)
{
    const bool transfer = op == OP_READ || op == OP_WRITE;
    switch (rule.kind) {
    case ERRINJ_SHORT:
        return transfer && request.length >= 2 ? nullptr : "cannot be shortened";
    case ERRINJ_CORRUPT:
        return transfer && request.length >= 1 ? nullptr : "moves no data";
    case ERRINJ_FULL_DISK:
        switch (op) {
        case OP_WRITE: case OP_TRUNCATE: case OP_FTRUNCATE: case OP_UNLINK: case OP_STATFS:
        case OP_CREAT: case OP_MKDIR: case OP_MKNOD: case OP_SYMLINK: case OP_LINK:
            return nullptr;
        default:
            return "takes no room";
        }
    default:
        return nullptr;
    }
}

bool rule_hit(injection_rule &rule, const char *path, fs_op op, const data_request &request,
              requester_info &requester, skip_report &report)
{
    ++rule.visits;
    // The draw comes first and is made for every rule visited, so a rule that
    // loses it costs no pattern work and the rand() sequence depends only on
    // the order of checks. A probability of 0 is a rule switched off.
    const uint32_t draw = static_cast<uint32_t>(rand() % 101);
    if (rule.probability == 0 || rule.probability < draw) {
        report.add_skip(rule, "probability", rule.probability);
        return false;
    }
    // Quiet, no line tells which filter stopped a rule: the cheap one first.
    if (report.quiet() && !(rule.op_matches & (1u << op)))
        return false;
    if (!filter_passes(rule.path_pattern, path, report)) {
        report.add_skip(rule, "path_regexp", *rule.path_regexp);
        return false;
    }
    if (!op_filter_passes(rule, op, report)) {
        report.add_skip(rule, "op_regexp", *rule.op_regexp);
        return false;
    }
    if (!requester_filters_pass(rule, requester, report))
        return false;
    if (const char *why = cannot_act(rule, op, request)) {
        report.add_skip(rule, "op", op_names[op], why);
        return false;
    }
    ++rule.hits;
    return true;
}

// What a full-disk rule does to an operation it governs: spends room or
// gives it back, and says whether the operation fails or moves less.
struct room_decision {
    int error = 0;
    uint64_t cut = UINT64_MAX;
};

room_decision spend_room(injection_rule &rule, fs_op op, data_request &request)
{
    room_decision decision;
    const auto size_now = [&] { return request.current_size ? request.current_size() : -1; };
    switch (op) {
    case OP_WRITE: {
        const int64_t size = size_now();
        const uint64_t end = request.offset + request.length;
        if (size < 0 || end <= static_cast<uint64_t>(size))
            return decision;
        if (end - static_cast<uint64_t>(size) <= rule.room) {
            rule.room -= end - static_cast<uint64_t>(size);
            return decision;
        }
        // Writes what still fits, or nothing at all.
        const uint64_t limit = static_cast<uint64_t>(size) + rule.room;
        if (limit <= request.offset) {
            decision.error = ENOSPC;
        } else {
            decision.cut = limit - request.offset;
            rule.room = 0;
        }
        return decision;
    }
    case OP_TRUNCATE:
    case OP_FTRUNCATE: {
        const int64_t size = size_now();
        if (size < 0 || request.new_size < 0)
            return decision;
        if (request.new_size <= size)
            rule.room += static_cast<uint64_t>(size - request.new_size);
        else if (static_cast<uint64_t>(request.new_size - size) > rule.room)
            decision.error = ENOSPC;
        else
            rule.room -= static_cast<uint64_t>(request.new_size - size);
        return decision;
    }
    case OP_UNLINK: {
        const int64_t freed = size_now();
        if (freed > 0)
            rule.room += static_cast<uint64_t>(freed);
        return decision;
    }
    case OP_STATFS:
        request.room = std::min(request.room, rule.room);
        return decision;
    default:  // what makes a new entry
        if (rule.room == 0)
            decision.error = ENOSPC;
        return decision;
    }
}

void print_cut(uint64_t to, uint64_t from)
{
    printf("transfer cut to %llu of %llu bytes\n", static_cast<unsigned long long>(to),
           static_cast<unsigned long long>(from));
}

// One draw for the length: from 1 to one less than asked, or to bytes.
void shorten(const injection_rule &rule, data_request &request)
{
    uint64_t most = request.length - 1;
    if (rule.bytes && *rule.bytes > 0 && *rule.bytes < most)
        most = *rule.bytes;
    const uint64_t length = 1 + static_cast<uint64_t>(rand()) % most;
    request.move = std::min(request.move, length);
    print_cut(length, request.length);
}

// A draw per altered byte for where, and one more for what (flip, random).
void plan_corruption(const injection_rule &rule, data_request &request)
{
    data_request::corruption corruption{rule.name, rule.mode, {}, {}};
    const uint64_t count = std::min<uint64_t>(rule.bytes.value_or(1), request.length);
    for (uint64_t i = 0; i < count; ++i) {
        corruption.places.push_back(static_cast<uint32_t>(rand()));
        if (rule.mode == CORRUPT_FLIP)
            corruption.values.push_back(static_cast<uint32_t>(rand() % 8));
        else if (rule.mode == CORRUPT_RANDOM)
            corruption.values.push_back(static_cast<uint32_t>(1 + rand() % 255));
    }
    request.corruptions.push_back(std::move(corruption));
}

int32_t apply_rule(injection_rule &rule, const char *path, fs_op op, int32_t result,
                   data_request &request, requester_info &requester, skip_report &report)
{
    if (!rule_hit(rule, path, op, request, requester, report))
        return result;
    if (rule.hits <= rule.after) {
        report.add_skip(rule, "after", rule.after, "is not reached");
        return result;
    }
    if (rule.count && rule.fires >= *rule.count) {
        report.add_skip(rule, "count", *rule.count, "is reached");
        return result;
    }
    ++rule.fires;

    const char *op_name = op_names[op];
    // A full disk that has room speaks only when it refuses or cuts.
    room_decision decision;
    if (rule.kind == ERRINJ_FULL_DISK) {
        decision = spend_room(rule, op, request);
        if (decision.error == 0 && decision.cut >= request.length)
            return result;
    }
    report.flush();
    printf("%s triggered on operation '%s', %s\n", rule.name.c_str(), op_name, path);
    switch (rule.kind) {
    case ERRINJ_ERRNO: {
        const int error = rule_errno(rule, op);
        printf("errno '%s'\n", strerror(error));
        return -error;
    }
    case ERRINJ_KILL_CALLER:
        kill_requester();
        return result;
    case ERRINJ_NOOP:
        return INJECT_SKIP;
    case ERRINJ_SLOWDOWN:
        slow_down(rule, op_name);
        return result;
    case ERRINJ_SHORT:
        shorten(rule, request);
        return result;
    case ERRINJ_CORRUPT:
        plan_corruption(rule, request);
        return result;
    case ERRINJ_FULL_DISK:
        if (decision.error != 0) {
            printf("errno '%s'\n", strerror(decision.error));
            return -decision.error;
        }
        request.move = std::min(request.move, decision.cut);
        print_cut(decision.cut, request.length);
        return result;
    }
    return result;
}

}  // namespace

int regex_mismatch(const char *pattern, const char *text)
{
    const char *failed_call = nullptr;
    const int result = compiled_pattern(pattern).mismatch(text, &failed_call);
    if (failed_call != nullptr)
        perror(failed_call);
    return result;
}

rule_set_ptr injection_load_rules()
{
    rule_set_ptr set = rule_set_load(mount_state.config_path.c_str(), mount_state.quiet != 0);
    if (!set || mount_state.direct_io)
        return set;
    // Through the page cache the kernel takes a short read as the end of the
    // file: the caller sees the file end early, not a short count.
    for (const injection_rule &rule : set->rules)
        if (rule.kind == ERRINJ_SHORT && (rule.op_matches & (1u << OP_READ)))
            fprintf(stderr, "errinj '%s': without -o direct_io a short read looks to the "
                            "caller like the end of the file\n",
                    rule.name.c_str());
    return set;
}

int32_t injection_check(const char *path, fs_op op)
{
    data_request none;
    return injection_check(path, op, none);
}

int32_t injection_check(const char *path, fs_op op, data_request &request)
{
    const lock_guard held(mount_state.lock);

    // An operation on the rule file re-reads it and is never disturbed itself.
    if (strcmp(path, mount_state.config_path.c_str()) == 0) {
        rule_set_free(std::move(mount_state.rules));
        mount_state.rules = injection_load_rules();
        return 0;
    }
    if (!mount_state.rules)
        return 0;

    // Later errno and no-op rules overwrite earlier ones; every rule is visited.
    int32_t result = 0;
    skip_report report(mount_state.quiet != 0);
    requester_info requester;
    for (injection_rule &rule : mount_state.rules->rules)
        result = apply_rule(rule, path, op, result, request, requester, report);
    return result;
}

void injection_corrupt(const data_request &request, const char *path, char *buf,
                       std::size_t n, uint64_t offset)
{
    if (n == 0 || request.corruptions.empty())
        return;
    std::vector<bool> altered(n);
    const lock_guard held(mount_state.lock);
    for (const data_request::corruption &corruption : request.corruptions) {
        std::vector<uint64_t> offsets;
        for (std::size_t i = 0; i < corruption.places.size() && offsets.size() < n; ++i) {
            // Each byte once: a bit flipped twice would be no flip at all.
            std::size_t at = corruption.places[i] % n;
            while (altered[at])
                at = (at + 1) % n;
            altered[at] = true;
            const unsigned byte = static_cast<unsigned char>(buf[at]);
            switch (corruption.mode) {
            case CORRUPT_FLIP:
                buf[at] = static_cast<char>(byte ^ (1u << corruption.values[i]));
                break;
            case CORRUPT_ZERO:
                buf[at] = 0;
                break;
            case CORRUPT_RANDOM:  // values are 1 to 255: the byte always changes
                buf[at] = static_cast<char>(byte ^ corruption.values[i]);
                break;
            }
            offsets.push_back(offset + at);
        }
        std::sort(offsets.begin(), offsets.end());
        std::string list;
        for (const uint64_t at : offsets)
            list += (list.empty() ? "" : ", ") + std::to_string(at);
        printf("%s altered offsets %s of %s\n", corruption.rule.c_str(), list.c_str(), path);
    }
}
