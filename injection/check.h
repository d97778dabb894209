// What one check carries from rule to rule, shared by the rooms of the hook:
// the request, who made it, the report of its skip lines, its draws and the
// trace event of the rule being acted on. Internal to the engine.
#pragma once

#include <pthread.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "catalogue.h"
#include "data_faults.h"
#include "draws.h"
#include "hook.h"
#include "report.h"

// Holds the hook's lock for a scope: alone (a reload, an order, every
// check of the one rand() sequence), or shared (checks under keyed draws,
// which run side by side).
class hook_lock_guard {
public:
    explicit hook_lock_guard(pthread_rwlock_t &lock, bool shared = false) : lock_(lock)
    {
        if (shared)
            pthread_rwlock_rdlock(&lock_);
        else
            pthread_rwlock_wrlock(&lock_);
    }
    ~hook_lock_guard() { pthread_rwlock_unlock(&lock_); }
    hook_lock_guard(const hook_lock_guard &) = delete;
    hook_lock_guard &operator=(const hook_lock_guard &) = delete;

private:
    pthread_rwlock_t &lock_;
};

// A check's standard-output lines, written at once when it ends, so that the
// lines of checks side by side never mix; one at a time they go out as they
// happen, as they always have. engine_print is printf for the engine.
class check_lines {
public:
    explicit check_lines(bool gather);
    ~check_lines();
    check_lines(const check_lines &) = delete;
    check_lines &operator=(const check_lines &) = delete;
};
void engine_print(const char *format, ...) __attribute__((format(printf, 1, 2)));
// How much this check has gathered, and a return to that point (a cut that
// found the power off already takes back its trigger line).
std::size_t engine_said();
void engine_unsay(std::size_t said);

// Who made the request, asked for once per check and only when a rule's
// process or uid filter is reached, or a rule fires while tracing.
struct requester_info {
    bool known = false;
    int pid = 0;
    uint32_t uid = 0;
    std::string name;  // as /proc/PID/comm holds it, without the line end

    void learn();
};

struct check_state {
    // A constructor, not aggregate initialisation: that zeroes the whole
    // record first, the report's 4 KiB buffer included, on every check.
    check_state(const char *checked_path, fs_op checked_op, data_request &data)
        : set(*mount_state.rules), path(checked_path), op(checked_op), request(data),
          report(mount_state.quiet != 0), draws(checked_path, checked_op, set, mount_state.keyed_draws),
          stripe(spread_counter::own_stripe())
    {
    }

    // Whether the rule's path pattern, or its process pattern, matches:
    // the set's patterns are matched once, when a rule first asks.
    bool path_matches(const injection_rule &rule)
    {
        if (!path_matched) {
            path_matched = true;
            path_members = set.path_patterns.match(path);
        }
        return path_members.test(rule_index(rule));
    }
    bool process_matches(const injection_rule &rule)
    {
        if (!process_matched) {
            process_matched = true;
            process_members = set.process_patterns.match(requester.name.c_str());
        }
        return process_members.test(rule_index(rule));
    }
    // The rules whose operation and path patterns let this request through.
    member_bits candidates()
    {
        member_bits found = set.op_members[op];
        if ((found & ~set.pathless).none())
            return found;
        if (!path_matched) {
            path_matched = true;
            path_members = set.path_patterns.match(path);
        }
        return found & (set.pathless | path_members);
    }
    std::size_t rule_index(const injection_rule &rule) const
    {
        return static_cast<std::size_t>(&rule - set.rules.data());
    }

    rule_set &set;
    const char *path;
    fs_op op;
    data_request &request;
    requester_info requester;
    skip_report report;
    draw_source draws;
    nlohmann::json event;  // the fire event of the rule being acted on, when tracing
    bool powered_off = false;  // a cut fired: the walk ends
    uint64_t hit = 0;          // the number of the hit rule_hit found, for after
    std::size_t said = 0;      // what was gathered before the acting rule's trigger line
    std::size_t stripe;        // this thread's stripe of spread counters
    bool path_matched = false;     // path_members is filled
    bool process_matched = false;  // process_members is filled
    member_bits path_members;
    member_bits process_members;
};

// SIGKILL to the requester, when there is one and it is not the daemon.
void kill_requester(nlohmann::json &event);

// Whether the rule passes its draw and every filter; the skip lines of the
// first filter that stops it go to the report. Counts visits and hits.
bool rule_hit(injection_rule &rule, check_state &check);
