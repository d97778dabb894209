// The injection hook: every filesystem operation asks injection_check first
// and acts on its verdict. The process-wide mount_state lives here because the
// hook is what reads it on every request.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
    int direct_io = 0;           // -o direct_io given: callers see short reads as such
    int keyed_draws = 0;         // -draws=keyed: draws hashed from what they decide
    char *draws = nullptr;       // -draws= as given
    char *trace = nullptr;       // -trace= as given
    int base_fd = -1;            // the resolved base directory, opened O_PATH
    std::string path_prefix;     // resolved base directory ending in '/'
};

extern mount_state_record mount_state;

// Loads the rule file at config_path as start-up and re-reads do, with the
// warnings that depend on how the filesystem is mounted.
rule_set_ptr injection_load_rules();

// 0: carry out the operation; INJECT_SKIP: return success untouched;
// negative: return this negated errno.
int32_t injection_check(const char *path, fs_op op);

// What a read, write, truncate, unlink or statfs is about to do, for the rules
// that act on data and room, and what they decided.
struct data_request {
    uint64_t offset = 0;
    uint64_t length = 0;      // bytes asked by a read or write
    int64_t new_size = -1;    // truncate, ftruncate
    // The file's size now, or -1; asked only by a full-disk rule. For
    // unlink, the room the removal gives back (0 while other links remain).
    std::function<int64_t()> current_size;

    // Decided by the check.
    uint64_t move = UINT64_MAX;  // bytes to move at most
    struct corruption {
        std::string rule;               // the rule's name, for the report
        corrupt_mode mode;
        std::vector<uint32_t> places;   // a draw per altered byte: where
        std::vector<uint32_t> values;   // and, flip or random, what
    };
    std::vector<corruption> corruptions;
    uint64_t room = UINT64_MAX;  // statfs: the least room a full disk has left
};

// Writes one summary object per rule of the set in force to the trace (its
// visits, hits and fires), as when the set is let go.
void injection_trace_summary();

// The same check, for the operations that move or take room.
int32_t injection_check(const char *path, fs_op op, data_request &request);

// Alters the n bytes at buf, which stand at offset in the file, as the
// request's corruptions say, and reports the offsets altered.
void injection_corrupt(const data_request &request, const char *path, char *buf,
                       std::size_t n, uint64_t offset);

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
