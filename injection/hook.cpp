// injection_check: decides, under one process-wide lock, whether an operation
// is disturbed. Everything a check does happens under the lock -- reloading
// the rules, the rand() draws, pattern work, report lines, the kill and the
// slowdown's sleep -- so checks never interleave and a seed replays exactly.
#include "hook.h"

#include <xxhash.h>

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

#include "trace/trace.h"
#include "unsynced/record.h"

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

// What a check's draws are for; under -draws=keyed it is part of each key.
enum draw_purpose : uint64_t {
    DRAW_PROBABILITY,
    DRAW_ERRNO,
    DRAW_LENGTH,
    DRAW_PLACE,
    DRAW_VALUE,
    DRAW_BLOCK
};

// Where a check's draws come from: the one rand() sequence, or, keyed, a
// hash of the seed, the rule, the operation, the path, what the draw is for
// and n, the number of earlier checks of that rule for that operation on
// that path since the load. Keyed, a file that sees the same operations
// gets the same decisions however its work interleaves with other files'.
class draw_source {
public:
    draw_source(const char *path, fs_op op, rule_set &set) : path_(path), op_(op), set_(set) {}

    // A rule's visit begins: keyed, its n is taken and counted.
    void visit(const injection_rule &rule)
    {
        if (!mount_state.keyed_draws)
            return;
        if (!path_hashed_) {
            // Below the base directory, so that a run replays from another
            // checkout or temporary directory too.
            const std::string &prefix = mount_state.path_prefix;
            const char *below = strncmp(path_, prefix.c_str(), prefix.size()) == 0
                                    ? path_ + prefix.size()
                                    : path_;
            path_hash_ = XXH3_64bits(below, strlen(below));
            path_hashed_ = true;
        }
        rule_hash_ = rule.name_hash;
        const uint64_t key_words[3] = {rule_hash_, path_hash_, op_};
        const uint64_t key = XXH3_64bits(key_words, sizeof key_words);
        visit_count_ = count_for(key)++;
        for (uint64_t &index : index_)
            index = 0;
    }

    uint64_t next(draw_purpose purpose)
    {
        if (!mount_state.keyed_draws)
            return static_cast<uint64_t>(rand());
        const uint64_t words[6] = {mount_state.seed, rule_hash_, path_hash_,
                                   static_cast<uint64_t>(op_) << 32 | purpose, visit_count_,
                                   index_[purpose]++};
        return XXH3_64bits(words, sizeof words);
    }

private:
    uint64_t &count_for(uint64_t key)
    {
        const auto found = set_.draw_counts.find(key);
        if (found != set_.draw_counts.end())
            return found->second;
        if (set_.draw_counts.size() < MAX_DRAW_KEYS)
            return set_.draw_counts[key];
        if (set_.shared_draw_counts.empty())
            set_.shared_draw_counts.resize(SHARED_DRAW_COUNTS);
        return set_.shared_draw_counts[key % SHARED_DRAW_COUNTS];
    }

    const char *path_;
    fs_op op_;
    rule_set &set_;
    bool path_hashed_ = false;
    uint64_t path_hash_ = 0;
    uint64_t rule_hash_ = 0;
    uint64_t visit_count_ = 0;
    uint64_t index_[DRAW_BLOCK + 1] = {};
};

// Everything one check carries from rule to rule.
struct check_state {
    // A constructor, not aggregate initialisation: that zeroes the whole
    // record first, the report's 4 KiB buffer included, on every check.
    check_state(const char *checked_path, fs_op checked_op, data_request &data)
        : path(checked_path), op(checked_op), request(data), report(mount_state.quiet != 0),
          draws(checked_path, checked_op, *mount_state.rules)
    {
    }

    const char *path;
    fs_op op;
    data_request &request;
    requester_info requester;
    skip_report report;
    draw_source draws;
    nlohmann::json event;  // the fire event of the rule being acted on, when tracing
};

// Some requests have no requester (release, libfuse's own removal of
// .fuse_hidden files arrive with pid 0), and kill(0, ...) would take down the
// filesystem's whole process group; our own pid would kill the mount.
void kill_requester(nlohmann::json &event)
{
    const int pid = requester_pid();
    if (pid <= 0 || pid == getpid()) {
        event["kill"] = {{"pid", pid}, {"sent", false}};
        return;
    }
    const bool sent = kill(pid, SIGKILL) == 0;
    if (!sent)
        perror("kill");
    printf("send signal %s to TID %d\n", strsignal(SIGKILL), pid);
    event["kill"] = {{"pid", pid}, {"sent", sent}};
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
int rule_errno(const injection_rule &rule, check_state &check)
{
    const std::vector<int> &list = check.op == OP_LOCK ? rule.lock_errnos : rule.errnos;
    const uint64_t draw = check.draws.next(DRAW_ERRNO);
    if (list.empty()) {
        const errno_list &own = errno_lists[check.op];
        return own.entries[draw % own.count];
    }
    return list[draw % list.size()];
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

bool rule_hit(injection_rule &rule, check_state &check)
{
    const char *path = check.path;
    const fs_op op = check.op;
    skip_report &report = check.report;
    ++rule.visits;
    check.draws.visit(rule);
    // The draw comes first and is made for every rule visited, so a rule that
    // loses it costs no pattern work and the rand() sequence depends only on
    // the order of checks. A probability of 0 is a rule switched off.
    const uint64_t draw = check.draws.next(DRAW_PROBABILITY) % 101;
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
    if (!requester_filters_pass(rule, check.requester, report))
        return false;
    if (const char *why = cannot_act(rule, op, check.request)) {
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

void print_cut(uint64_t to, uint64_t from, nlohmann::json &event)
{
    printf("transfer cut to %llu of %llu bytes\n", static_cast<unsigned long long>(to),
           static_cast<unsigned long long>(from));
    event["cut"] = {{"to", to}, {"of", from}};
}

// One draw for the length: from 1 to one less than asked, or to bytes.
void shorten(const injection_rule &rule, check_state &check)
{
    data_request &request = check.request;
    uint64_t most = request.length - 1;
    if (rule.bytes && *rule.bytes > 0 && *rule.bytes < most)
        most = *rule.bytes;
    const uint64_t length = 1 + check.draws.next(DRAW_LENGTH) % most;
    request.move = std::min(request.move, length);
    print_cut(length, request.length, check.event);
}

// A draw per altered byte for where, and one more for what (flip, random).
void plan_corruption(const injection_rule &rule, check_state &check)
{
    data_request &request = check.request;
    data_request::corruption corruption{rule.name, rule.mode, {}, {}};
    const uint64_t count = std::min<uint64_t>(rule.bytes.value_or(1), request.length);
    for (uint64_t i = 0; i < count; ++i) {
        corruption.places.push_back(static_cast<uint32_t>(check.draws.next(DRAW_PLACE)));
        if (rule.mode == CORRUPT_FLIP)
            corruption.values.push_back(static_cast<uint32_t>(check.draws.next(DRAW_VALUE) % 8));
        else if (rule.mode == CORRUPT_RANDOM)
            corruption.values.push_back(
                static_cast<uint32_t>(1 + check.draws.next(DRAW_VALUE) % 255));
    }
    request.corruptions.push_back(std::move(corruption));
}

// The trace's record of a rule that fires: who asked, and (filled in by the
// action) what the rule did.
nlohmann::json fire_event(const injection_rule &rule, check_state &check)
{
    nlohmann::json event = {{"event", "fire"},
                            {"rule", rule.name},
                            {"kind", kind_names[rule.kind]},
                            {"op", op_names[check.op]}};
    trace_text(event, "path", check.path);
    check.requester.learn();
    event["pid"] = check.requester.pid;
    event["uid"] = check.requester.uid;
    trace_text(event, "comm", check.requester.name);
    return event;
}

int32_t act(injection_rule &rule, check_state &check, int32_t result);

int32_t apply_rule(injection_rule &rule, check_state &check, int32_t result)
{
    skip_report &report = check.report;
    if (!rule_hit(rule, check))
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
    const bool tracing = trace_enabled();
    if (tracing)
        check.event = fire_event(rule, check);
    const int32_t acted = act(rule, check, result);
    if (tracing)
        trace_write(std::move(check.event));
    return acted;
}

// Every tracked file back to its synced state (less the blocks that persist
// keeps), then the requester killed as a kill rule kills, then the mount
// dark until the rule file is read again. The record takes its power lock
// after the hook's lock, and no operation holding the power lock waits for
// the hook's, so a cut inside any operation cannot deadlock.
void power_cut(const injection_rule &rule, check_state &check)
{
    const unsynced_cut_result cut = unsynced_cut(rule.block, rule.persist, [&] {
        return check.draws.next(DRAW_BLOCK);
    });
    printf("power cut: %zu files rolled back, %llu bytes lost, %llu bytes kept\n", cut.files,
           static_cast<unsigned long long>(cut.lost), static_cast<unsigned long long>(cut.kept));
    check.event["power_cut"] = {{"files", cut.files}, {"lost", cut.lost}, {"kept", cut.kept}};
    kill_requester(check.event);
}

void report_errno(int error, nlohmann::json &event)
{
    printf("errno '%s'\n", strerror(error));
    const char *name = strerrorname_np(error);
    event["errno"] = name != nullptr ? name : std::to_string(error);
}

int32_t act(injection_rule &rule, check_state &check, int32_t result)
{
    const char *op_name = op_names[check.op];
    data_request &request = check.request;
    nlohmann::json &event = check.event;
    // A full disk that has room speaks only when it refuses or cuts.
    room_decision decision;
    if (rule.kind == ERRINJ_FULL_DISK) {
        decision = spend_room(rule, check.op, request);
        if (decision.error == 0 && decision.cut >= request.length) {
            event["room"] = rule.room;
            return result;
        }
    }
    check.report.flush();
    printf("%s triggered on operation '%s', %s\n", rule.name.c_str(), op_name, check.path);
    switch (rule.kind) {
    case ERRINJ_ERRNO: {
        const int error = rule_errno(rule, check);
        report_errno(error, event);
        return -error;
    }
    case ERRINJ_KILL_CALLER:
        kill_requester(event);
        return result;
    case ERRINJ_NOOP:
        event["skip"] = true;
        return INJECT_SKIP;
    case ERRINJ_SLOWDOWN:
        slow_down(rule, op_name);
        event["sleep_ns"] = rule.duration;
        return result;
    case ERRINJ_SHORT:
        shorten(rule, check);
        return result;
    case ERRINJ_CORRUPT:
        plan_corruption(rule, check);
        event["corrupt"] = {{"mode", rule.mode == CORRUPT_FLIP   ? "flip"
                                     : rule.mode == CORRUPT_ZERO ? "zero"
                                                                 : "random"},
                            {"bytes", request.corruptions.back().places.size()}};
        return result;
    case ERRINJ_POWER_CUT:
        power_cut(rule, check);
        return -EIO;
    case ERRINJ_FULL_DISK:
        event["room"] = rule.room;
        if (decision.error != 0) {
            report_errno(decision.error, event);
            return -decision.error;
        }
        request.move = std::min(request.move, decision.cut);
        print_cut(decision.cut, request.length, event);
        return result;
    }
    return result;
}

// The load event: the rule file's path and every rule with its keys as taken.
void trace_load(const rule_set *set)
{
    nlohmann::json rules = nlohmann::json::array();
    static const std::vector<injection_rule> no_rules;
    for (const injection_rule &rule : set ? set->rules : no_rules) {
        nlohmann::json entry = {{"name", rule.name},
                                {"kind", kind_names[rule.kind]},
                                {"probability", rule.probability}};
        const std::pair<const char *, const std::optional<std::string> &> patterns[] = {
            {"path_regexp", rule.path_regexp},
            {"op_regexp", rule.op_regexp},
            {"process_regexp", rule.process_regexp}};
        for (const auto &[key, text] : patterns)
            if (text)
                trace_text(entry, key, *text);
        if (rule.kind == ERRINJ_SLOWDOWN)
            entry["duration"] = rule.duration;
        if (!rule.errnos.empty()) {
            entry["errno"] = nlohmann::json::array();
            for (const int error : rule.errnos)
                entry["errno"].push_back(strerrorname_np(error));
        }
        if (rule.after)
            entry["after"] = rule.after;
        if (rule.count)
            entry["count"] = *rule.count;
        if (rule.uid)
            entry["uid"] = *rule.uid;
        if (rule.bytes)
            entry["bytes"] = *rule.bytes;
        if (rule.kind == ERRINJ_FULL_DISK)
            entry["space"] = rule.space;
        if (rule.kind == ERRINJ_POWER_CUT) {
            entry["persist"] = rule.persist;
            entry["block"] = rule.block;
        }
        rules.push_back(std::move(entry));
    }
    nlohmann::json event = {{"event", "load"}, {"loaded", set != nullptr}, {"rules", rules}};
    trace_text(event, "path", mount_state.config_path);
    trace_write(std::move(event));
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

void injection_trace_summary()
{
    if (!trace_enabled() || !mount_state.rules)
        return;
    for (const injection_rule &rule : mount_state.rules->rules)
        trace_write({{"event", "summary"},
                     {"rule", rule.name},
                     {"kind", kind_names[rule.kind]},
                     {"visits", rule.visits},
                     {"hits", rule.hits},
                     {"fires", rule.fires}});
}

// Unsynced changes are tracked while the rules hold a power cut, in blocks
// of the smallest size any of them names.
void track_for(const rule_set *set)
{
    uint32_t block = 0;
    for (std::size_t i = 0; set != nullptr && i < set->rules.size(); ++i)
        if (set->rules[i].kind == ERRINJ_POWER_CUT)
            block = block == 0 ? set->rules[i].block : std::min(block, set->rules[i].block);
    if (block != 0)
        unsynced_start(block);
    else
        unsynced_stop();
}

rule_set_ptr injection_load_rules()
{
    rule_set_ptr set = rule_set_load(mount_state.config_path.c_str(), mount_state.quiet != 0);
    if (trace_enabled())
        trace_load(set.get());
    track_for(set.get());
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
        if (unsynced_powered_off()) {
            unsynced_power_on();
            printf("power restored\n");
            trace_write({{"event", "power_on"}});
        }
        injection_trace_summary();
        rule_set_free(std::move(mount_state.rules));
        mount_state.rules = injection_load_rules();
        return 0;
    }
    // After a power cut nothing answers, and nothing draws, until power-on.
    if (unsynced_powered_off())
        return -EIO;
    if (!mount_state.rules)
        return 0;

    // Later errno and no-op rules overwrite earlier ones; every rule is visited.
    int32_t result = 0;
    check_state check(path, op, request);
    for (injection_rule &rule : mount_state.rules->rules)
        result = apply_rule(rule, check, result);
    return result;
}

void injection_corrupt(const data_request &request, const char *path, char *buf,
                       std::size_t n, uint64_t offset)
{
    if (n == 0 || request.corruptions.empty())
        return;
    // Each byte once, across all the rules that fired: a bit flipped twice
    // would be no flip at all. When a short transfer has no byte left, later
    // rules alter none.
    std::vector<bool> altered(n);
    std::size_t unaltered = n;
    const lock_guard held(mount_state.lock);
    for (const data_request::corruption &corruption : request.corruptions) {
        std::vector<uint64_t> offsets;
        for (std::size_t i = 0; i < corruption.places.size() && unaltered > 0; ++i, --unaltered) {
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
        if (offsets.empty())
            printf("%s altered no offsets of %s\n", corruption.rule.c_str(), path);
        else
            printf("%s altered offsets %s of %s\n", corruption.rule.c_str(), list.c_str(), path);
        if (trace_enabled()) {
            nlohmann::json event = {{"event", "corrupt"}, {"rule", corruption.rule},
                                    {"offsets", offsets}};
            trace_text(event, "path", path);
            trace_write(std::move(event));
        }
    }
}
