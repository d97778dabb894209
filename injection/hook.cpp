// injection_check: decides, under one process-wide lock, whether an operation
// is disturbed. Everything a check does happens under the lock -- reloading
// the rules, the draws, pattern work, report lines, the kill and the
// slowdown's sleep -- so checks never interleave and a seed replays exactly.
// The check is a walk over the rules in order: each that passes its draw and
// its filters (filters.cpp) acts by its kind, here, or in the rooms of the
// data faults (data_faults.cpp) and the cut (power.cpp).
#include "hook.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "check.h"
#include "power.h"
#include "trace/trace.h"
#include "unsynced/record.h"

mount_state_record mount_state;

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
    engine_print("send signal %s to TID %d\n", strsignal(SIGKILL), pid);
    event["kill"] = {{"pid", pid}, {"sent", sent}};
}

namespace {

void slow_down(const injection_rule &rule, const char *op_name)
{
    engine_print("start of '%s' slowdown for '%d' ns\n", op_name,
           static_cast<int>(rule.duration));
    // nanosleep refuses a nanosecond field of a second or more; split it.
    const timespec delay = {static_cast<time_t>(rule.duration / 1000000000u),
                            static_cast<long>(rule.duration % 1000000000u)};
    if (nanosleep(&delay, nullptr) != 0) {
        perror("nanosleep");
        return;
    }
    engine_print("end of '%s' slowdown with '%d' ns\n", op_name,
           static_cast<int>(rule.duration));
}

// One draw from the rule's own list when it has one, else the operation's.
int rule_errno(const injection_rule &rule, check_state &check)
{
    const std::vector<int> &list =
        check.op == OP_LOCK || check.op == OP_FLOCK ? rule.lock_errnos : rule.errnos;
    const uint64_t draw = check.draws.next(DRAW_ERRNO);
    if (list.empty()) {
        const errno_list &own = errno_lists[check.op];
        return own.entries[draw % own.count];
    }
    return list[draw % list.size()];
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

int32_t act(injection_rule &rule, check_state &check, int32_t result,
            const room_decision &decision);

// The rules from first on were not visited by this walk.
void end_walk_early(rule_set &set, std::size_t first)
{
    for (std::size_t at = first; at < set.rules.size(); ++at)
        set.rules[at].visits.pass_by();
}

// A rule that passed its filters fires unless after or count hold it back,
// or it is a full disk with room left: that takes part (a hit) but causes
// no fault (no fire).
int32_t apply_rule(injection_rule &rule, check_state &check, int32_t result)
{
    skip_report &report = check.report;
    if (!rule_hit(rule, check))
        return result;
    // An order to fire is taken by one check only; the hit's own number and
    // a fire counted only below count keep after and count exact when
    // checks run side by side.
    const bool armed = rule.armed && rule.armed.take();
    if (check.hit <= rule.after && !armed) {
        report.add_skip(rule, "after", rule.after, "is not reached");
        return result;
    }
    if (rule.count && rule.fires >= *rule.count && !armed) {
        report.add_skip(rule, "count", *rule.count, "is reached");
        return result;
    }
    room_decision decision;
    if (rule.kind == ERRINJ_FULL_DISK) {
        decision = spend_room(rule, check.op, check.request);
        if (decision.error == 0 && decision.cut >= check.request.length) {
            if (armed)
                rule.armed.raise();  // not yet: it has caused no fault
            return result;
        }
    }
    // Side by side another check may have taken the last fire meanwhile.
    if (armed) {
        rule.fires.add();
    } else if (!(rule.count ? rule.fires.add_below(*rule.count) : (rule.fires.add(), true))) {
        report.add_skip(rule, "count", *rule.count, "is reached");
        return result;
    }
    const bool tracing = trace_enabled();
    if (tracing)
        check.event = fire_event(rule, check);
    const int32_t acted = act(rule, check, result, decision);
    if (tracing)
        trace_write(std::move(check.event));
    return acted;
}

int32_t act(injection_rule &rule, check_state &check, int32_t result,
            const room_decision &decision)
{
    const char *op_name = op_names[check.op];
    data_request &request = check.request;
    nlohmann::json &event = check.event;
    check.report.flush();
    check.said = engine_said();
    engine_print("%s triggered on operation '%s', %s\n", rule.name.c_str(), op_name, check.path);
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
        request.written_all = rule.written_all && check.op == OP_WRITE;
        if (request.written_all)
            event["written"] = "all";
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
        check.powered_off = true;
        return -EIO;
    case ERRINJ_WRITEBACK:
        return writeback_failure(rule, check);
    case ERRINJ_FULL_DISK:
        event["room"] = rule.room;  // read unlocked: only the trace shows it
        if (decision.error != 0) {
            report_errno(decision.error, event);
            return -decision.error;
        }
        request.move = std::min(request.move, decision.cut);
        report_cut(decision.cut, request.length, event);
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
    data_request none;
    return injection_check(path, op, none);
}

int32_t injection_check(const char *path, fs_op op, data_request &request)
{
    // An operation on the rule file re-reads it and is never disturbed itself.
    if (strcmp(path, mount_state.config_path.c_str()) == 0) {
        const hook_lock_guard held(mount_state.lock);
        injection_reload();
        return 0;
    }
    // Keyed draws depend on no other check, so checks run side by side, each
    // its lines gathered; the one rand() sequence needs them one at a time.
    const bool side_by_side = mount_state.keyed_draws;
    const hook_lock_guard held(mount_state.lock, side_by_side);
    const check_lines lines(side_by_side);

    // After a power cut nothing answers, and nothing draws, until power-on;
    // but the root still shows, so that tools see a mounted, failing file
    // system rather than none.
    if (unsynced_powered_off())
        return op == OP_GETATTR && mount_state.path_prefix == path ? 0 : -EIO;
    if (!mount_state.rules)
        return 0;

    // Later errno and no-op rules overwrite earlier ones; every rule is
    // visited, unless the power goes out: nothing after that answers.
    // Memory running out fails the one request, not the mount.
    rule_set &set = *mount_state.rules;
    std::size_t at = 0;
    try {
        int32_t result = 0;
        check_state check(path, op, request);
        set.walks.add(check.stripe);
        // Quiet, no line tells which filter stopped a rule, so the filters
        // that depend only on the request are asked first, for every rule at
        // once: a rule aimed at other paths or operations costs a bit test
        // and, for the sequence, the one draw its visit makes.
        const bool quiet = check.report.quiet();
        const member_bits candidates = quiet ? check.candidates() : member_bits().set();
        for (; at < set.rules.size(); ++at) {
            if (!candidates.test(at)) {
                check.draws.pass_over();
                continue;
            }
            result = apply_rule(set.rules[at], check, result);
            if (check.powered_off) {
                ++at;
                end_walk_early(set, at);
                return -EIO;
            }
        }
        return result;
    } catch (const std::bad_alloc &) {
        end_walk_early(set, at + 1);
        return -ENOMEM;
    }
}
