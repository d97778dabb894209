// injection_check: decides, under one process-wide lock, whether an operation
// is disturbed. Everything a check does happens under the lock -- reloading
// the rules, the rand() draws, pattern work, report lines, the kill and the
// slowdown's sleep -- so checks never interleave and a seed replays exactly.
#include "hook.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
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
// they were.
class skip_report {
public:
    skip_report() = default;
    skip_report(const skip_report &) = delete;
    skip_report &operator=(const skip_report &) = delete;
    ~skip_report() { flush(); }

    // "errinj 'KIND' skipped: FILTER (VALUE) is not matched"
    void add_skip(const char *kind_name, const char *filter, std::string_view value)
    {
        add({"errinj '", kind_name, "' skipped: ", filter, " (", value, ") is not matched\n"});
    }

    // The line perror(call) would print, with the current errno. The daemon
    // never sets a locale, so strerror's text is the untranslated one;
    // taking it from the table directly spares a message-catalogue search on
    // every line (each regexec that does not match prints one).
    void add_perror(const char *call)
    {
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

    char buffer_[4096];
    std::size_t length_ = 0;
};

// The probability as the skip line prints it: a signed decimal.
std::string_view decimal(uint32_t probability, char (&digits)[16])
{
    const auto end = std::to_chars(digits, digits + sizeof digits,
                                   static_cast<int>(probability)).ptr;
    return std::string_view(digits, static_cast<std::size_t>(end - digits));
}

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

int32_t apply_rule(const injection_rule &rule, const char *path, fs_op op,
                   int32_t result, skip_report &report)
{
    const char *kind_name = kind_names[rule.kind];
    const char *op_name = op_names[op];

    // The draw comes first and is made for every rule visited, so a rule that
    // loses it costs no pattern work and the rand() sequence depends only on
    // the order of checks. A probability of 0 is a rule switched off.
    const uint32_t draw = static_cast<uint32_t>(rand() % 101);
    if (rule.probability == 0 || rule.probability < draw) {
        char digits[16];
        report.add_skip(kind_name, "probability", decimal(rule.probability, digits));
        return result;
    }
    if (!filter_passes(rule.path_pattern, path, report)) {
        report.add_skip(kind_name, "path_regexp", rule.path_regexp->c_str());
        return result;
    }
    if (!filter_passes(rule.op_pattern, op_name, report)) {
        report.add_skip(kind_name, "op_regexp", rule.op_regexp->c_str());
        return result;
    }

    report.flush();
    printf("%s triggered on operation '%s', %s\n", kind_name, op_name, path);
    switch (rule.kind) {
    case ERRINJ_ERRNO: {
        const int error = pick_errno(op);
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

int32_t injection_check(const char *path, fs_op op)
{
    const lock_guard held(mount_state.lock);

    // An operation on the rule file re-reads it and is never disturbed itself.
    if (strcmp(path, mount_state.config_path.c_str()) == 0) {
        rule_set_free(std::move(mount_state.rules));
        mount_state.rules = rule_set_load(path);
        return 0;
    }
    if (!mount_state.rules)
        return 0;

    // Later errno and no-op rules overwrite earlier ones; every rule is visited.
    int32_t result = 0;
    skip_report report;
    for (const injection_rule &rule : mount_state.rules->rules)
        result = apply_rule(rule, path, op, result, report);
    return result;
}
