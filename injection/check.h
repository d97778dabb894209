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

// Holds the hook's lock for a scope.
class hook_lock_guard {
public:
    explicit hook_lock_guard(pthread_mutex_t &mutex) : mutex_(mutex)
    {
        pthread_mutex_lock(&mutex_);
    }
    ~hook_lock_guard() { pthread_mutex_unlock(&mutex_); }
    hook_lock_guard(const hook_lock_guard &) = delete;
    hook_lock_guard &operator=(const hook_lock_guard &) = delete;

private:
    pthread_mutex_t &mutex_;
};

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
    bool powered_off = false;  // a cut fired: the walk ends
};

// SIGKILL to the requester, when there is one and it is not the daemon.
void kill_requester(nlohmann::json &event);

// Whether the rule passes its draw and every filter; the skip lines of the
// first filter that stops it go to the report. Counts visits and hits.
bool rule_hit(injection_rule &rule, check_state &check);
