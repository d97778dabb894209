// The filters a rule passes before it acts: its draw, its path and
// operation patterns, the requester's process name and user id, and whether
// its kind can act on the operation at all.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "check.h"

void requester_info::learn()
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

namespace {

// The line perror would print after a pattern's mismatch: the one of the
// call that failed.
void report_mismatch(const compiled_pattern &pattern, skip_report &report)
{
    report.add_perror(pattern.compiled() ? "regexec" : "regcomp");
}

// The operation's name was matched against the pattern when the rule was
// loaded; here only the lines that a match would print are printed.
bool op_filter_passes(const injection_rule &rule, fs_op op, skip_report &report)
{
    if (rule.op_matches & op_bit(op))
        return true;
    report_mismatch(*rule.op_pattern, report);
    return false;
}

// The process and uid filters; a request that no process made passes neither.
bool requester_filters_pass(const injection_rule &rule, check_state &check)
{
    requester_info &requester = check.requester;
    skip_report &report = check.report;
    if (rule.process_pattern) {
        requester.learn();
        const bool passes = requester.pid > 0 && check.process_matches(rule);
        if (requester.pid > 0 && !passes)
            report_mismatch(*rule.process_pattern, report);
        if (!passes) {
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

}  // namespace

bool rule_hit(injection_rule &rule, check_state &check)
{
    const fs_op op = check.op;
    skip_report &report = check.report;
    check.draws.visit(rule);
    // The draw comes first and is made for every rule visited, so a rule that
    // loses it costs no pattern work and the rand() sequence depends only on
    // the order of checks. A probability of 0 is a rule switched off.
    const uint64_t draw = check.draws.next(DRAW_PROBABILITY);
    if (rule.armed) {
        // Ordered to fire: the draw is made, so the sequence stays the same,
        // and its outcome does not count.
    } else if (rule.probability_ppm) {
        // A decimal probability: the same draw, on a scale of millionths.
        if (draw % 1000000 >= *rule.probability_ppm) {
            report.add_skip(rule, "probability", rule.probability_text);
            return false;
        }
    } else if (rule.probability == 0 || rule.probability < draw % 101) {
        report.add_skip(rule, "probability", rule.probability);
        return false;
    }
    if (rule.path_pattern && !check.path_matches(rule)) {
        report_mismatch(*rule.path_pattern, report);
        report.add_skip(rule, "path_regexp", *rule.path_regexp);
        return false;
    }
    if (!op_filter_passes(rule, op, report)) {
        report.add_skip(rule, "op_regexp", *rule.op_regexp);
        return false;
    }
    if (!requester_filters_pass(rule, check))
        return false;
    if (const char *why = cannot_act(rule, op, check.request)) {
        report.add_skip(rule, "op", op_names[op], why);
        return false;
    }
    check.hit = rule.hits.add();
    return true;
}

