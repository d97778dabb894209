// The rule file and the rule set it is read into. Each section names a kind
// and, after a dot, optionally a rule of its own ("errinj_errno.wal"); the
// sections of one full name make one rule. Rules stand in the order their
// sections first received an assignment. A set is built once by
// rule_set_load; afterwards only its counters change, under the hook's lock.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalogue.h"
#include "counters.h"
#include "draw_counts.h"
#include "pattern.h"
#include "pattern_set.h"
#include "unsynced/names.h"

enum injection_kind : uint32_t {
    ERRINJ_ERRNO,
    ERRINJ_KILL_CALLER,
    ERRINJ_NOOP,
    ERRINJ_SLOWDOWN,
    ERRINJ_SHORT,      // a read or write moves fewer bytes than asked
    ERRINJ_CORRUPT,    // the bytes read or written are altered
    ERRINJ_FULL_DISK,  // the mount has only so much room
    ERRINJ_POWER_CUT,  // what was never synced is lost, and the mount goes dark
    ERRINJ_WRITEBACK,  // an fsync fails and takes the file's unsynced data with it
};

constexpr std::size_t INJECTION_KIND_COUNT = ERRINJ_WRITEBACK + 1;

// How errinj_corrupt alters a byte.
enum corrupt_mode : uint32_t { CORRUPT_FLIP, CORRUPT_ZERO, CORRUPT_RANDOM };

// The rule file's section names, indexed by injection_kind.
extern const char *const kind_names[INJECTION_KIND_COUNT];

// A check visits every rule, so their number bounds what a check costs.
constexpr std::size_t MAX_RULES = 256;
static_assert(MAX_RULES <= MAX_PATTERN_MEMBERS, "a rule is a member of its set's patterns");

struct injection_rule {
    std::string name;                         // the full section name
    std::optional<std::string> op_regexp;     // absent until the key is given
    std::optional<std::string> path_regexp;   // absent until the key is given
    std::optional<std::string> process_regexp;
    uint32_t probability = 0;                 // percent; see injection_check
    // A decimal probability ("0.1"), in millionths, drawn on that finer
    // scale; absent for a whole number, which draws as it always has.
    std::optional<uint32_t> probability_ppm;
    std::string probability_text;             // as written, for the skip line
    uint32_t duration = 0;                    // nanoseconds, slowdown only
    injection_kind kind;
    std::vector<int> errnos;       // errno rules: drawn from instead of the operation's list
    std::vector<int> lock_errnos;  // the same without EINTR, for lock
    uint32_t after = 0;            // hits that do not fire before the first that does
    std::optional<uint32_t> count; // most fires; absent: no bound
    std::optional<uint32_t> uid;   // the requester's user id must be this
    std::optional<uint32_t> bytes; // short: most bytes moved; corrupt: bytes altered (1)
    corrupt_mode mode = CORRUPT_FLIP;
    uint64_t space = 0;            // full disk: the room at each load, in bytes
    uint32_t persist = 0;          // power cut: percent chance a changed block keeps its content
    uint32_t block = 4096;         // power cut: the bytes kept or lost together
    bool written_all = false;      // no-op: a skipped write reports every byte written
    names_model names = NAMES_SYNCED;  // power cut: when name changes become durable
    bool kill_mount = false;       // power cut: every process using the mount dies too
    unsigned line = 0;             // where the rule's first assignment stands

    // Filled once the file is read; a check reuses them.
    std::unique_ptr<compiled_pattern> op_pattern;
    std::unique_ptr<compiled_pattern> path_pattern;
    std::unique_ptr<compiled_pattern> process_pattern;
    // Bit op set when op_pattern matches op_names[op]: there are only so many
    // names, so each is matched once at load instead of at every check.
    uint64_t op_matches = 0;

    uint64_t name_hash = 0;  // keys the rule's draws under -draws=keyed

    // Counted by the checks, from 0 at each load.
    visit_counter visits;  // checks that visited the rule
    rule_counter hits;    // visits that passed the draw and every filter
    rule_counter fires;   // hits that acted
    uint64_t room = 0;    // full disk: what is left of space (under the room's mutex)
    rule_flag armed;      // ordered to fire at its next hit, whatever its odds

    injection_rule(injection_kind k, std::string full_name)
        : name(std::move(full_name)), kind(k) {}
};

// A rule's patterns with their keys, as the rule file names them.
struct rule_pattern_text {
    const char *key;
    const std::optional<std::string> &text;
};
inline std::array<rule_pattern_text, 3> rule_patterns(const injection_rule &rule)
{
    return {{{"path_regexp", rule.path_regexp},
             {"op_regexp", rule.op_regexp},
             {"process_regexp", rule.process_regexp}}};
}

// What the loader found wrong with a rule file, where: line 0 is the file as
// a whole. A warning refuses nothing.
struct rule_complaint {
    unsigned line = 0;
    std::string text;
    bool warning = false;
};

// How a load reports what it reads. As ever: the configuration lines on
// standard output and today's complaints on standard error as they come
// (the complaints found besides are only collected). Located: the same
// standard output, every complaint collected for the caller to print as
// "FILE:LINE: COMPLAINT". Checked: nothing printed, everything collected.
enum rule_report : uint32_t { REPORT_AS_EVER, REPORT_LOCATED, REPORT_CHECKED };

struct rule_set {
    std::vector<injection_rule> rules;
    std::vector<rule_complaint> complaints;
    rule_report report = REPORT_AS_EVER;
    unsigned line = 0;  // the line being read, while loading
    std::vector<std::string> refused;  // rules past MAX_RULES, reported once
    draw_counts keyed_counts;  // under -draws=keyed
    // Every rule's path and process patterns, members numbered by the rule's
    // place in rules; a check matches each once, when a rule first needs it.
    pattern_set path_patterns;
    pattern_set process_patterns;
    // The rules whose operation pattern matches each operation, and those
    // with no path pattern: with the path's matches, the rules a request
    // can hit at all, found before any rule is visited.
    std::array<member_bits, FS_OP_COUNT> op_members;
    member_bits pathless;
    spread_counter walks;  // checks that walked the rules; each rule's visits count from it
};

using rule_set_ptr = std::unique_ptr<rule_set>;

// The handler given to ini_parse; user is the rule_set being filled.
// Returns 1 for a key taken, 0 for an unknown or refused key or a rule past
// the limit, -1 for a section naming no kind or an allocation failure.
extern "C" int rule_option_handler(void *user, const char *section,
                                   const char *name, const char *value);

// Reads the rule file at path, or, given a directory descriptor and a name,
// the file of that name in that directory (path is then only what the
// report lines show). An absent file gives an empty set; a file that cannot
// be opened, or memory running out, gives none. With quiet, a pattern that
// does not compile is reported here, once, rather than at each check.
rule_set_ptr rule_set_load(const char *path, bool quiet = false, int dir_fd = AT_FDCWD,
                           const char *name = nullptr, rule_report report = REPORT_AS_EVER);

// Whether the set holds a complaint that is not a warning.
bool rule_set_has_complaints(const rule_set &set);

// Prints every complaint as "FILE:LINE: COMPLAINT" (warnings with
// "warning: ") on standard error.
void rule_set_print_complaints(const rule_set &set, const char *path);

// One line per rule as understood: its name, kind and every key that
// applies to it with its value.
std::string rule_describe(const injection_rule &rule);

// Releases a set with its rules; accepts none.
void rule_set_free(rule_set_ptr set);
