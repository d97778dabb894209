// The injection hook: every filesystem operation asks injection_check first
// and acts on its verdict. The engine's process-wide state, mount_state,
// lives here because the hook is what reads it on every request; start-up
// fills it before mounting.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <string>

#include "catalogue.h"
#include "data_faults.h"
#include "rules.h"

// Verdict meaning "report success without doing anything". Operations test for
// it before testing for nonzero, so it is never taken for a byte count.
constexpr int32_t INJECT_SKIP = 999;

struct mount_state_record {
    rule_set_ptr rules;          // replaced only under lock
    std::string basedir;         // the resolved base directory
    std::string config_path;     // resolved base directory + "tavrin.conf"
    uint32_t seed = 0;
    // Shared by checks under keyed draws; a reload waiting for it goes before
    // checks that come after it.
    pthread_rwlock_t lock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
    bool quiet = false;          // -quiet: no skip lines, no regexec lines
    bool direct_io = false;      // -o direct_io given: callers see short reads as such
    bool keyed_draws = false;    // -draws=keyed: draws hashed from what they decide
    bool strict = false;         // -strict: a rule file with a complaint is refused
    bool control = false;        // -control: everything is recorded, for a cut at any moment
    int base_fd = -1;            // the resolved base directory, opened O_PATH
    std::string path_prefix;     // resolved base directory ending in '/'
    std::string mount_point;     // resolved, for a cut that takes down the mount's users
};

extern mount_state_record mount_state;

// Loads the rule file at config_path as start-up and re-reads do, with the
// warnings that depend on how the filesystem is mounted. Under -strict every
// complaint is printed located ("FILE:LINE: ...").
rule_set_ptr injection_load_rules(rule_report report = REPORT_AS_EVER);

// Adds the warnings that depend on how the filesystem is mounted.
void injection_mount_warnings(rule_set &set);

// Under -strict, whether a loaded set is refused for its complaints.
bool injection_rules_refused(const rule_set *set);

// Puts a loaded set in force, starting or stopping the record of unsynced
// changes for what it holds.
void injection_install_rules(rule_set_ptr set);

// What an operation on the rule file does: power back on after a cut, the
// summaries of the set in force, then a fresh set. Under the hook's lock.
// A set -strict refuses is handed to refused, when given.
void injection_reload(rule_set_ptr *refused = nullptr);

// The same from outside any check: takes the hook's lock.
void injection_reread();

// 0: carry out the operation; INJECT_SKIP: return success untouched;
// negative: return this negated errno.
int32_t injection_check(const char *path, fs_op op);

// The same check, for the operations that move or take room.
int32_t injection_check(const char *path, fs_op op, data_request &request);

// Writes one summary object per rule of the set in force to the trace (its
// visits, hits and fires), as when the set is let go.
void injection_trace_summary();

// 0 when text matches pattern (POSIX extended, case ignored, unanchored);
// otherwise regcomp's or regexec's code, after its perror line.
int regex_mismatch(const char *pattern, const char *text);

// The process that made the current request, or 0 when there is none, and
// its user id. Kept apart so the engine can be tested without a mounted
// filesystem.
int requester_pid();
uint32_t requester_uid();
uint32_t requester_gid();
// Whether gid is one of the requester's supplementary groups.
bool requester_in_group(uint32_t gid);
