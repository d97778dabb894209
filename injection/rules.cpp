// Reading tavrin.conf into a rule_set. The INI syntax is inih's; this file
// turns each (section, name, value) it delivers into rule fields and prints
// the configuration report lines as it goes.
#include "rules.h"

#include <ini.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

const char *const kind_names[INJECTION_KIND_COUNT] = {
    "errinj_errno",
    "errinj_kill_caller",
    "errinj_noop",
    "errinj_slowdown",
};

namespace {

// As atoi reads it (sign, digits, rest ignored), kept to its low 32 bits so
// that -1 is held as 4294967295; strtol saturates where atoi would overflow.
uint32_t number_value(const char *value)
{
    return static_cast<uint32_t>(strtol(value, nullptr, 10));
}

// A failed copy leaves the field absent, so the rule has no such filter.
void set_pattern(std::optional<std::string> &field, const char *value)
{
    field.reset();
    try {
        field.emplace(value);
    } catch (const std::bad_alloc &) {
        perror("strdup");
    }
}

injection_rule *find_or_add_rule(rule_set &set, injection_kind kind,
                                 const char *section)
{
    for (injection_rule &rule : set.rules)
        if (rule.kind == kind)
            return &rule;
    try {
        set.rules.emplace_back(kind);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        perror("calloc");
        return nullptr;
    }
    printf("enabled error injection %s\n", section);
    return &set.rules.back();
}

// Compiling is the dearest part of a check, and a loaded set never changes,
// so each pattern is compiled once here. A pattern that does not compile
// keeps its error, which every check that reaches it reports as before.
void compile_patterns(rule_set &set)
{
    for (injection_rule &rule : set.rules) {
        if (rule.op_regexp)
            rule.op_pattern = std::make_unique<compiled_pattern>(rule.op_regexp->c_str());
        if (rule.path_regexp)
            rule.path_pattern = std::make_unique<compiled_pattern>(rule.path_regexp->c_str());
    }
}

}  // namespace

extern "C" int rule_option_handler(void *user, const char *section,
                                   const char *name, const char *value)
{
    rule_set &set = *static_cast<rule_set *>(user);

    std::size_t kind = 0;
    while (kind < INJECTION_KIND_COUNT && strcmp(section, kind_names[kind]) != 0)
        ++kind;
    if (kind == INJECTION_KIND_COUNT) {
        fprintf(stderr, "unsupported error injection type '%s'", section);
        return -1;
    }

    injection_rule *rule =
        find_or_add_rule(set, static_cast<injection_kind>(kind), section);
    if (rule == nullptr)
        return -1;

    printf("[%s] %s = %s\n", section, name, value);
    if (strcmp(name, "path_regexp") == 0) {
        set_pattern(rule->path_regexp, value);
    } else if (strcmp(name, "op_regexp") == 0) {
        set_pattern(rule->op_regexp, value);
    } else if (strcmp(name, "probability") == 0) {
        rule->probability = number_value(value);
    } else if (strcmp(name, "duration") == 0) {
        rule->duration = number_value(value);
    } else {
        fprintf(stderr, "unknown option '%s' in configuration file\n", name);
        return 0;
    }
    return 1;
}

rule_set_ptr rule_set_load(const char *path)
{
    printf("read configuration %s\n", path);

    rule_set_ptr set(new (std::nothrow) rule_set);
    if (!set) {
        errno = ENOMEM;
        perror("calloc");
        return nullptr;
    }
    if (access(path, F_OK) != 0)
        return set;

    // A positive result only names the first bad or refused line; those
    // lines have been reported (or skipped) already and the rest still counts.
    if (ini_parse(path, rule_option_handler, set.get()) < 0) {
        fprintf(stderr, "can't load '%s'\n", path);
        return nullptr;
    }
    try {
        compile_patterns(*set);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        perror("calloc");
        return nullptr;
    }
    return set;
}

void rule_set_free(rule_set_ptr set)
{
    set.reset();
}
