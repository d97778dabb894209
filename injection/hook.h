// The injection hook: every filesystem operation asks injection_check first
// and acts on its verdict. The process-wide mount_state lives here because the
// hook is what reads it on every request.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <string>

#include "catalogue.h"
#include "rules.h"

// Verdict meaning "report success without doing anything". Operations test for
// it before testing for nonzero, so it is never taken for a byte count.
constexpr int32_t INJECT_SKIP = 999;

struct mount_state_record {
    rule_set_ptr rules;          // replaced only under lock
    char *basedir = nullptr;     // as given, then as resolved by start-up
    std::string config_path;     // resolved base directory + "tavrin.conf"
    uint32_t seed = 0;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    int quiet = 0;               // -quiet: no skip lines, no regexec lines
    int base_fd = -1;            // the resolved base directory, opened O_PATH
    std::string path_prefix;     // resolved base directory ending in '/'
};

extern mount_state_record mount_state;

// 0: carry out the operation; INJECT_SKIP: return success untouched;
// negative: return this negated errno.
int32_t injection_check(const char *path, fs_op op);

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
