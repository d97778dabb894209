// Reading tavrin.conf into a rule_set. The INI syntax is inih's; this file
// turns each (section, name, value) it delivers into rule fields and prints
// the configuration report lines as it goes.
#include "rules.h"

#include <ini.h>
#include <xxhash.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

const char *const kind_names[INJECTION_KIND_COUNT] = {
    "errinj_errno",
    "errinj_kill_caller",
    "errinj_noop",
    "errinj_slowdown",
    "errinj_short",
    "errinj_corrupt",
    "errinj_full_disk",
    "errinj_power_cut",
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

// "KIND" or "KIND.NAME", NAME of letters, digits, '_' and '-'; the kind's
// index, or INJECTION_KIND_COUNT for a section that names none.
std::size_t section_kind(const char *section)
{
    const char *dot = strchr(section, '.');
    const std::size_t kind_length = dot ? static_cast<std::size_t>(dot - section) : strlen(section);
    if (dot != nullptr &&
        (dot[1] == '\0' || strspn(dot + 1,
                                  "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                  "0123456789_-") != strlen(dot + 1)))
        return INJECTION_KIND_COUNT;
    std::size_t kind = 0;
    while (kind < INJECTION_KIND_COUNT &&
           !(strlen(kind_names[kind]) == kind_length &&
             strncmp(section, kind_names[kind], kind_length) == 0))
        ++kind;
    return kind;
}

// The rule of that full name, added at the tail when the section is new.
// None when the set is full (said once per name) or memory runs out.
injection_rule *find_or_add_rule(rule_set &set, injection_kind kind, const char *section)
{
    for (injection_rule &rule : set.rules)
        if (rule.name == section)
            return &rule;
    try {
        if (set.rules.size() >= MAX_RULES) {
            if (std::find(set.refused.begin(), set.refused.end(), section) == set.refused.end()) {
                set.refused.emplace_back(section);
                fprintf(stderr, "errinj '%s' refused: a rule file holds at most %zu rules\n",
                        section, MAX_RULES);
            }
            return nullptr;
        }
        set.rules.emplace_back(kind, section);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        perror("calloc");
        return nullptr;
    }
    printf("enabled error injection %s\n", section);
    return &set.rules.back();
}

// "EIO ENOSPC, EIO": every word must name an errno a caller can be given,
// or the key is not taken and the rule keeps the list it had.
bool set_errnos(injection_rule &rule, const char *value)
{
    std::vector<int> errnos;
    std::string words = value;
    for (char *save = nullptr, *word = strtok_r(words.data(), " \t,", &save); word != nullptr;
         word = strtok_r(nullptr, " \t,", &save)) {
        const int error = errno_by_name(word);
        if (error == 0) {
            fprintf(stderr, "unknown errno '%s' in configuration file\n", word);
            return false;
        }
        // The kernel takes ENOSYS as "not implemented" and never sends that
        // operation again for the life of the mount: fsync would then
        // succeed unasked, access and flush would pass untested.
        if (error == ENOSYS) {
            fprintf(stderr, "errno '%s' refused: the kernel would stop sending the operation\n",
                    word);
            return false;
        }
        errnos.push_back(error);
    }
    if (errnos.empty()) {
        fprintf(stderr, "no errno named in configuration file\n");
        return false;
    }
    rule.errnos = std::move(errnos);
    return true;
}

// Compiling is dear, and a loaded set never changes, so each pattern is
// compiled once here, and the operation pattern is matched against every
// operation's name. A pattern that does not compile keeps its error, which
// every check that reaches it reports as before (or, quiet, is said here).
void prepare_rule(injection_rule &rule, bool quiet)
{
    const struct {
        const std::optional<std::string> &text;
        std::unique_ptr<compiled_pattern> &compiled;
        const char *key;
    } patterns[] = {{rule.op_regexp, rule.op_pattern, "op_regexp"},
                    {rule.path_regexp, rule.path_pattern, "path_regexp"},
                    {rule.process_regexp, rule.process_pattern, "process_regexp"}};
    for (const auto &pattern : patterns) {
        if (!pattern.text)
            continue;
        pattern.compiled = std::make_unique<compiled_pattern>(pattern.text->c_str());
        if (quiet && !pattern.compiled->compiled())
            fprintf(stderr, "errinj '%s' %s (%s) does not compile: %s\n", rule.name.c_str(),
                    pattern.key, pattern.text->c_str(), pattern.compiled->error_text().c_str());
    }

    for (std::size_t op = 0; op < FS_OP_COUNT; ++op) {
        const char *failed_call = nullptr;
        if (!rule.op_pattern || rule.op_pattern->mismatch(op_names[op], &failed_call) == 0)
            rule.op_matches |= 1u << op;
    }

    // Linux restarts a lock request answered with EINTR and, with no signal
    // pending, hands the caller its internal ERESTARTSYS (512), no errno at
    // all: lock draws from the rest of the list.
    rule.room = rule.space;
    rule.name_hash = XXH3_64bits(rule.name.data(), rule.name.size());

    rule.lock_errnos = rule.errnos;
    rule.lock_errnos.erase(std::remove(rule.lock_errnos.begin(), rule.lock_errnos.end(), EINTR),
                           rule.lock_errnos.end());
    if (rule.lock_errnos.size() != rule.errnos.size() && (rule.op_matches & (1u << OP_LOCK)))
        fprintf(stderr, "errinj '%s': lock is never given EINTR, which would reach its caller "
                        "as 512\n",
                rule.name.c_str());
}

// "10M": bytes, with an optional K, M or G (powers of 1024).
bool set_size(uint64_t &field, const char *value)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long number = strtoull(value, &end, 10);
    uint64_t scale = 1;
    if (end != value && *end != '\0' && end[1] == '\0')
        scale = *end == 'K' ? 1ull << 10 : *end == 'M' ? 1ull << 20 : *end == 'G' ? 1ull << 30 : 0;
    else if (end == value || *end != '\0')
        scale = 0;
    if (scale == 0 || errno == ERANGE || value[0] == '-' || number > UINT64_MAX / scale) {
        fprintf(stderr, "invalid size '%s' in configuration file\n", value);
        return false;
    }
    field = number * scale;
    return true;
}

// A power of two from 512 bytes (a sector) to 1 MiB.
bool set_block(uint32_t &field, const char *value)
{
    char *end = nullptr;
    const unsigned long number = strtoul(value, &end, 10);
    if (end == value || *end != '\0' || number < 512 || number > (1ul << 20) ||
        (number & (number - 1)) != 0) {
        fprintf(stderr, "invalid block '%s' in configuration file\n", value);
        return false;
    }
    field = static_cast<uint32_t>(number);
    return true;
}

bool set_mode(corrupt_mode &field, const char *value)
{
    const char *const names[] = {"flip", "zero", "random"};
    for (uint32_t mode = 0; mode < 3; ++mode)
        if (strcmp(value, names[mode]) == 0) {
            field = static_cast<corrupt_mode>(mode);
            return true;
        }
    fprintf(stderr, "unknown mode '%s' in configuration file\n", value);
    return false;
}

}  // namespace

extern "C" int rule_option_handler(void *user, const char *section,
                                   const char *name, const char *value)
{
    rule_set &set = *static_cast<rule_set *>(user);

    const std::size_t kind = section_kind(section);
    if (kind == INJECTION_KIND_COUNT) {
        fprintf(stderr, "unsupported error injection type '%s'", section);
        return -1;
    }

    injection_rule *rule = find_or_add_rule(set, static_cast<injection_kind>(kind), section);
    if (rule == nullptr)
        return set.rules.size() >= MAX_RULES ? 0 : -1;

    printf("[%s] %s = %s\n", section, name, value);
    if (strcmp(name, "path_regexp") == 0) {
        set_pattern(rule->path_regexp, value);
    } else if (strcmp(name, "op_regexp") == 0) {
        set_pattern(rule->op_regexp, value);
    } else if (strcmp(name, "process_regexp") == 0) {
        set_pattern(rule->process_regexp, value);
    } else if (strcmp(name, "probability") == 0) {
        rule->probability = number_value(value);
    } else if (strcmp(name, "duration") == 0) {
        rule->duration = number_value(value);
    } else if (strcmp(name, "after") == 0) {
        rule->after = number_value(value);
    } else if (strcmp(name, "count") == 0) {
        rule->count = number_value(value);
    } else if (strcmp(name, "uid") == 0) {
        rule->uid = number_value(value);
    } else if (strcmp(name, "errno") == 0 && rule->kind == ERRINJ_ERRNO) {
        return set_errnos(*rule, value) ? 1 : 0;
    } else if (strcmp(name, "bytes") == 0 &&
               (rule->kind == ERRINJ_SHORT || rule->kind == ERRINJ_CORRUPT)) {
        rule->bytes = number_value(value);
    } else if (strcmp(name, "mode") == 0 && rule->kind == ERRINJ_CORRUPT) {
        return set_mode(rule->mode, value) ? 1 : 0;
    } else if (strcmp(name, "space") == 0 && rule->kind == ERRINJ_FULL_DISK) {
        return set_size(rule->space, value) ? 1 : 0;
    } else if (strcmp(name, "persist") == 0 && rule->kind == ERRINJ_POWER_CUT) {
        rule->persist = number_value(value);
    } else if (strcmp(name, "block") == 0 && rule->kind == ERRINJ_POWER_CUT) {
        return set_block(rule->block, value) ? 1 : 0;
    } else {
        fprintf(stderr, "unknown option '%s' in configuration file\n", name);
        return 0;
    }
    return 1;
}

rule_set_ptr rule_set_load(const char *path, bool quiet, int dir_fd, const char *name)
{
    printf("read configuration %s\n", path);

    rule_set_ptr set(new (std::nothrow) rule_set);
    if (!set) {
        errno = ENOMEM;
        perror("calloc");
        return nullptr;
    }
    if (name == nullptr)
        name = path;
    if (faccessat(dir_fd, name, F_OK, 0) != 0)
        return set;

    // A positive result only names the first bad or refused line; those
    // lines have been reported (or skipped) already and the rest still counts.
    const int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
    FILE *file = fd != -1 ? fdopen(fd, "r") : nullptr;
    if (file == nullptr) {
        if (fd != -1)
            close(fd);
        fprintf(stderr, "can't load '%s'\n", path);
        return nullptr;
    }
    const int parsed = ini_parse_file(file, rule_option_handler, set.get());
    fclose(file);
    if (parsed < 0) {
        fprintf(stderr, "can't load '%s'\n", path);
        return nullptr;
    }
    try {
        for (injection_rule &rule : set->rules)
            prepare_rule(rule, quiet);
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
