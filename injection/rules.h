// The rule file and the rule set it is read into. A set holds at most one rule
// per kind, in the order the kinds first received an assignment in the file;
// it is built once by rule_set_load and never changed afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pattern.h"

enum injection_kind : uint32_t {
    ERRINJ_ERRNO,
    ERRINJ_KILL_CALLER,
    ERRINJ_NOOP,
    ERRINJ_SLOWDOWN,
};

constexpr std::size_t INJECTION_KIND_COUNT = ERRINJ_SLOWDOWN + 1;

// The rule file's section names, indexed by injection_kind.
extern const char *const kind_names[INJECTION_KIND_COUNT];

struct injection_rule {
    std::optional<std::string> op_regexp;    // absent until the key is given
    std::optional<std::string> path_regexp;  // absent until the key is given
    uint32_t probability = 0;                // percent; see injection_check
    uint32_t duration = 0;                   // nanoseconds, slowdown only
    injection_kind kind;
    // The two patterns compiled once the file is read; a check reuses them.
    std::unique_ptr<compiled_pattern> op_pattern;
    std::unique_ptr<compiled_pattern> path_pattern;

    explicit injection_rule(injection_kind k) : kind(k) {}
};

struct rule_set {
    std::vector<injection_rule> rules;
};

using rule_set_ptr = std::unique_ptr<rule_set>;

// The handler given to ini_parse; user is the rule_set being filled.
// Returns 1 for a key taken, 0 for an unknown key, -1 for a section naming no
// kind or an allocation failure.
extern "C" int rule_option_handler(void *user, const char *section,
                                   const char *name, const char *value);

// Reads the rule file at path. An absent file gives an empty set; a file that
// cannot be opened, or memory running out, gives none.
rule_set_ptr rule_set_load(const char *path);

// Releases a set with its rules; accepts none.
void rule_set_free(rule_set_ptr set);
