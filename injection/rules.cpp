// Reading tavrin.conf into a rule_set. The INI syntax is inih's; this file
// turns each (section, name, value) it delivers into rule fields, prints the
// configuration report lines as it goes, and collects every complaint with
// the line it stands on, so that no mistake in a rule file goes unsaid.
#include "rules.h"

#include <ini.h>
#include <xxhash.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <initializer_list>
#include <string>
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
    "errinj_writeback",
};

namespace {

// A complaint tavrin has always printed as it came (line_end: with its
// line end; one has none), and which a located report keeps for later.
void complain(rule_set &set, const std::string &text, bool line_end = true)
{
    if (set.report == REPORT_AS_EVER)
        fprintf(stderr, "%s%s", text.c_str(), line_end ? "\n" : "");
    set.complaints.push_back({set.line, text, false});
}

// A mistake tavrin used to let pass: said only by a located or checked
// report, so that a rule file without them prints what it always printed.
void find(rule_set &set, const std::string &text, bool warning = false,
          unsigned line = UINT_MAX)
{
    set.complaints.push_back({line == UINT_MAX ? set.line : line, text, warning});
}

// As atoi reads it (sign, digits, rest ignored), kept to its low 32 bits so
// that -1 is held as 4294967295; strtol saturates where atoi would overflow.
// A value that is not wholly a number, or a negative one, is found.
uint32_t number_value(rule_set &set, const char *key, const char *value)
{
    char *end = nullptr;
    errno = 0;
    const long number = strtol(value, &end, 10);
    if (end == value || *end != '\0' || errno == ERANGE || number < 0 || number > UINT32_MAX)
        find(set, std::string("invalid number '") + value + "' for " + key);
    return static_cast<uint32_t>(number);
}

// A whole number keeps the draw it always had; "0.1" or "2.5" is a chance
// in percent with up to four decimal places, drawn in millionths.
void set_probability(rule_set &set, injection_rule &rule, const char *value)
{
    rule.probability_ppm.reset();
    rule.probability_text = value;
    const std::size_t whole = strspn(value, "0123456789");
    if (whole > 0 && value[whole] == '.' && value[whole + 1] != '\0' &&
        strspn(value + whole + 1, "0123456789") == strlen(value + whole + 1)) {
        const char *fraction = value + whole + 1;
        if (strlen(fraction) > 4)
            find(set, std::string("probability '") + value + "' has more than four decimal places");
        uint64_t ppm = 0;
        for (std::size_t i = 0; i < whole && ppm <= 1000000; ++i)
            ppm = ppm * 10 + static_cast<uint64_t>(value[i] - '0');
        for (std::size_t i = 0; i < 4; ++i)
            ppm = ppm * 10 + (i < strlen(fraction) ? static_cast<uint64_t>(fraction[i] - '0') : 0);
        if (ppm > 1000000) {
            find(set, std::string("probability (") + value + ") is not from 0 to 100");
            ppm = 1000000;
        }
        rule.probability_ppm = static_cast<uint32_t>(ppm);
        rule.probability = static_cast<uint32_t>(ppm / 10000);
        return;
    }
    char *end = nullptr;
    const long number = strtol(value, &end, 10);
    rule.probability = static_cast<uint32_t>(number);
    if (end == value || *end != '\0')
        find(set, std::string("invalid number '") + value + "' for probability");
    else if (number < 0 || number > 100)
        find(set, std::string("probability (") + value + ") is not from 0 to 100");
}

// A failed copy leaves the field absent, so the rule has no such filter. A
// pattern that does not compile, and an operation pattern that names no
// operation, are found here, on the line that gave them.
void set_pattern(rule_set &set, const injection_rule &rule, std::optional<std::string> &field,
                 const char *key, const char *value)
{
    field.reset();
    try {
        field.emplace(value);
    } catch (const std::bad_alloc &) {
        perror("strdup");
        return;
    }
    const compiled_pattern pattern(value);
    const std::string said = "errinj '" + rule.name + "' " + key + " (" + value + ")";
    if (!pattern.compiled()) {
        find(set, said + " does not compile: " + pattern.error_text());
        return;
    }
    if (strcmp(key, "op_regexp") != 0)
        return;
    for (std::size_t op = 0; op < FS_OP_COUNT; ++op) {
        const char *failed_call = nullptr;
        if (pattern.mismatch(op_names[op], &failed_call) == 0)
            return;
    }
    find(set, said + " matches no operation");
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
                complain(set, std::string("errinj '") + section +
                                  "' refused: a rule file holds at most " +
                                  std::to_string(MAX_RULES) + " rules");
            }
            return nullptr;
        }
        set.rules.emplace_back(kind, section);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        perror("calloc");
        return nullptr;
    }
    set.rules.back().line = set.line;
    if (set.report != REPORT_CHECKED)
        printf("enabled error injection %s\n", section);
    return &set.rules.back();
}

// "EIO ENOSPC, EIO": every word must name an errno a caller can be given,
// or the key is not taken and the rule keeps the list it had.
bool set_errnos(rule_set &set, injection_rule &rule, const char *value)
{
    std::vector<int> errnos;
    std::string words = value;
    for (char *save = nullptr, *word = strtok_r(words.data(), " \t,", &save); word != nullptr;
         word = strtok_r(nullptr, " \t,", &save)) {
        const int error = errno_by_name(word);
        if (error == 0) {
            complain(set, std::string("unknown errno '") + word + "' in configuration file");
            return false;
        }
        // The kernel takes ENOSYS as "not implemented" and never sends that
        // operation again for the life of the mount: fsync would then
        // succeed unasked, access and flush would pass untested.
        if (error == ENOSYS) {
            complain(set, std::string("errno '") + word +
                              "' refused: the kernel would stop sending the operation");
            return false;
        }
        errnos.push_back(error);
    }
    if (errnos.empty()) {
        complain(set, "no errno named in configuration file");
        return false;
    }
    rule.errnos = std::move(errnos);
    return true;
}

// Compiling is dear, and a loaded set never changes, so each pattern is
// compiled once here, and the operation pattern is matched against every
// operation's name. A pattern that does not compile keeps its error, which
// every check that reaches it reports as before (or, quiet, is said here).
void prepare_rule(rule_set &set, injection_rule &rule, bool quiet)
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
        if (quiet && set.report == REPORT_AS_EVER && !pattern.compiled->compiled())
            fprintf(stderr, "errinj '%s' %s (%s) does not compile: %s\n", rule.name.c_str(),
                    pattern.key, pattern.text->c_str(), pattern.compiled->error_text().c_str());
    }

    for (std::size_t op = 0; op < FS_OP_COUNT; ++op) {
        const char *failed_call = nullptr;
        if (!rule.op_pattern || rule.op_pattern->mismatch(op_names[op], &failed_call) == 0)
            rule.op_matches |= op_bit(static_cast<fs_op>(op));
    }

    // Linux restarts a lock request answered with EINTR and, with no signal
    // pending, hands the caller its internal ERESTARTSYS (512), no errno at
    // all: lock draws from the rest of the list.
    rule.room = rule.space;
    rule.name_hash = XXH3_64bits(rule.name.data(), rule.name.size());

    // A write-back fails with EIO unless told otherwise (ENOSPC and EDQUOT
    // are the others a real one gives).
    if (rule.kind == ERRINJ_WRITEBACK && rule.errnos.empty())
        rule.errnos = {EIO};
    rule.lock_errnos = rule.errnos;
    rule.lock_errnos.erase(std::remove(rule.lock_errnos.begin(), rule.lock_errnos.end(), EINTR),
                           rule.lock_errnos.end());
    if (rule.lock_errnos.size() != rule.errnos.size() && (rule.op_matches & (op_bit(OP_LOCK) | op_bit(OP_FLOCK)))) {
        const std::string note = "errinj '" + rule.name +
                                 "': lock is never given EINTR, which would reach its caller "
                                 "as 512";
        if (set.report == REPORT_AS_EVER)
            fprintf(stderr, "%s\n", note.c_str());
        find(set, note, true, rule.line);
    }

    // Sometimes meant, and so only warned of.
    const bool never_drawn = rule.probability_ppm ? *rule.probability_ppm == 0 : rule.probability == 0;
    if (never_drawn)
        find(set, "errinj '" + rule.name + "' never fires: its probability is 0", true, rule.line);
    else if (rule.count && *rule.count == 0)
        find(set, "errinj '" + rule.name + "' never fires: its count is 0", true, rule.line);
}

// "10M": bytes, with an optional K, M or G (powers of 1024).
bool set_size(rule_set &set, uint64_t &field, const char *value)
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
        complain(set, std::string("invalid size '") + value + "' in configuration file");
        return false;
    }
    field = number * scale;
    return true;
}

// A power of two from 512 bytes (a sector) to 1 MiB.
bool set_block(rule_set &set, uint32_t &field, const char *value)
{
    char *end = nullptr;
    const unsigned long number = strtoul(value, &end, 10);
    if (end == value || *end != '\0' || number < 512 || number > (1ul << 20) ||
        (number & (number - 1)) != 0) {
        complain(set, std::string("invalid block '") + value + "' in configuration file");
        return false;
    }
    field = static_cast<uint32_t>(number);
    return true;
}

// One of a few words, stored as its index; anything else is complained of
// and leaves the field as it was.
template <typename Field>
bool set_choice(rule_set &set, Field &field, const char *key, const char *value,
                std::initializer_list<const char *> words)
{
    int index = 0;
    for (const char *word : words) {
        if (strcmp(value, word) == 0) {
            field = static_cast<Field>(index);
            return true;
        }
        ++index;
    }
    complain(set, std::string("unknown ") + key + " '" + value + "' in configuration file");
    return false;
}

// inih's reader with the line count kept: fgets, as ini_parse_file reads. A
// line longer than inih's buffer comes in pieces that inih parses one by one
// (each counted on the line it came from). The lines inih passes over as
// neither a section, an assignment nor a comment are found here, by the
// same reading inih gives them.
struct counting_reader {
    FILE *file;
    rule_set *set;
    unsigned next_line = 1;
    bool named = false;  // an assignment since the last section line: continuations follow

    static char *read(char *buffer, int size, void *stream)
    {
        auto &reader = *static_cast<counting_reader *>(stream);
        if (fgets(buffer, size, reader.file) == nullptr)
            return nullptr;
        reader.set->line = reader.next_line;
        const std::size_t length = strlen(buffer);
        if (length > 0 && buffer[length - 1] == '\n')
            ++reader.next_line;
        reader.classify(buffer);
        return buffer;
    }

    // Stops at one of chars, or at an inline comment (";" after a blank).
    static const char *stop_at(const char *text, const char *chars)
    {
        bool after_blank = false;
        for (; *text != '\0' && !strchr(chars, *text) && !(after_blank && *text == ';'); ++text)
            after_blank = isspace(static_cast<unsigned char>(*text)) != 0;
        return text;
    }

    void classify(const char *line)
    {
        const char *start = line;
        if (set->line == 1 && strncmp(start, "\xEF\xBB\xBF", 3) == 0)
            start += 3;
        const char *first = start;
        while (*first != '\0' && isspace(static_cast<unsigned char>(*first)))
            ++first;
        if (*first == '\0' || *first == ';' || *first == '#')
            return;
        if (named && first > line)
            return;  // a continuation of the last assignment
        if (*first == '[') {
            if (*stop_at(first + 1, "]") == ']')
                named = false;
            else
                find(*set, "a section line without its ']'");
            return;
        }
        if (*stop_at(first, "=:") != '\0')
            named = true;
        else
            find(*set, "neither a section, an assignment nor a comment");
    }
};

}  // namespace

extern "C" int rule_option_handler(void *user, const char *section,
                                   const char *name, const char *value)
{
    rule_set &set = *static_cast<rule_set *>(user);

    const std::size_t kind = section_kind(section);
    if (kind == INJECTION_KIND_COUNT) {
        complain(set, std::string("unsupported error injection type '") + section + "'", false);
        return -1;
    }

    injection_rule *rule = find_or_add_rule(set, static_cast<injection_kind>(kind), section);
    if (rule == nullptr)
        return set.rules.size() >= MAX_RULES ? 0 : -1;

    if (set.report != REPORT_CHECKED)
        printf("[%s] %s = %s\n", section, name, value);
    const injection_kind of = rule->kind;
    if (strcmp(name, "path_regexp") == 0) {
        set_pattern(set, *rule, rule->path_regexp, name, value);
    } else if (strcmp(name, "op_regexp") == 0) {
        set_pattern(set, *rule, rule->op_regexp, name, value);
    } else if (strcmp(name, "process_regexp") == 0) {
        set_pattern(set, *rule, rule->process_regexp, name, value);
    } else if (strcmp(name, "probability") == 0) {
        set_probability(set, *rule, value);
    } else if (strcmp(name, "duration") == 0) {
        rule->duration = number_value(set, name, value);
    } else if (strcmp(name, "after") == 0) {
        rule->after = number_value(set, name, value);
    } else if (strcmp(name, "count") == 0) {
        rule->count = number_value(set, name, value);
    } else if (strcmp(name, "uid") == 0) {
        rule->uid = number_value(set, name, value);
    } else if (strcmp(name, "errno") == 0 && (of == ERRINJ_ERRNO || of == ERRINJ_WRITEBACK)) {
        return set_errnos(set, *rule, value) ? 1 : 0;
    } else if (strcmp(name, "bytes") == 0 && (of == ERRINJ_SHORT || of == ERRINJ_CORRUPT)) {
        rule->bytes = number_value(set, name, value);
    } else if (strcmp(name, "mode") == 0 && of == ERRINJ_CORRUPT) {
        return set_choice(set, rule->mode, name, value, {"flip", "zero", "random"}) ? 1 : 0;
    } else if (strcmp(name, "space") == 0 && of == ERRINJ_FULL_DISK) {
        return set_size(set, rule->space, value) ? 1 : 0;
    } else if (strcmp(name, "persist") == 0 && (of == ERRINJ_POWER_CUT || of == ERRINJ_WRITEBACK)) {
        rule->persist = number_value(set, name, value);
        if (rule->persist > 100)
            find(set, std::string("persist (") + value + ") is not from 0 to 100");
    } else if (strcmp(name, "block") == 0 && (of == ERRINJ_POWER_CUT || of == ERRINJ_WRITEBACK)) {
        return set_block(set, rule->block, value) ? 1 : 0;
    } else if (strcmp(name, "names") == 0 && of == ERRINJ_POWER_CUT) {
        return set_choice(set, rule->names, name, value, {"synced", "journal", "durable"}) ? 1 : 0;
    } else if (strcmp(name, "kill") == 0 && of == ERRINJ_POWER_CUT) {
        return set_choice(set, rule->kill_mount, name, value, {"caller", "mount"}) ? 1 : 0;
    } else if (strcmp(name, "written") == 0 && of == ERRINJ_NOOP) {
        return set_choice(set, rule->written_all, name, value, {"none", "all"}) ? 1 : 0;
    } else {
        complain(set, std::string("unknown option '") + name + "' in configuration file");
        return 0;
    }
    return 1;
}

namespace {

// The path and process patterns of every rule, for the checks to match in
// one pass each.
void gather_patterns(rule_set &set)
{
    for (std::size_t index = 0; index < set.rules.size(); ++index) {
        const injection_rule &rule = set.rules[index];
        if (rule.path_pattern)
            set.path_patterns.add(index, rule.path_regexp->c_str(), *rule.path_pattern);
        if (rule.process_pattern)
            set.process_patterns.add(index, rule.process_regexp->c_str(), *rule.process_pattern);
    }
    set.path_patterns.build();
    set.process_patterns.build();
    for (std::size_t index = 0; index < set.rules.size(); ++index) {
        const injection_rule &rule = set.rules[index];
        for (std::size_t op = 0; op < FS_OP_COUNT; ++op)
            if (rule.op_matches & op_bit(static_cast<fs_op>(op)))
                set.op_members[op].set(index);
        if (!rule.path_pattern)
            set.pathless.set(index);
    }
    for (injection_rule &rule : set.rules)
        rule.visits.count_from(set.walks);
}

}  // namespace

rule_set_ptr rule_set_load(const char *path, bool quiet, int dir_fd, const char *name,
                           rule_report report)
{
    if (report != REPORT_CHECKED)
        printf("read configuration %s\n", path);

    rule_set_ptr set(new (std::nothrow) rule_set);
    if (!set) {
        errno = ENOMEM;
        perror("calloc");
        return nullptr;
    }
    set->report = report;
    if (name == nullptr)
        name = path;
    if (faccessat(dir_fd, name, F_OK, 0) != 0) {
        if (report == REPORT_CHECKED)  // a check of a file that is not there says so
            find(*set, std::string("cannot be read: ") + strerror(errno), false, 0);
        return set;
    }

    // A positive result only names the first bad or refused line; those
    // lines have been reported (or skipped) already and the rest still counts.
    const int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    const int open_error = errno;
    struct stat st;
    if (fd != -1 && report != REPORT_AS_EVER && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        find(*set, "is not a regular file", false, 0);
        return set;
    }
    if (fd != -1)
        fcntl(fd, F_SETFL, 0);  // opened without blocking only to be looked at
    FILE *file = fd != -1 ? fdopen(fd, "r") : nullptr;
    if (file == nullptr) {
        if (fd != -1)
            close(fd);
        if (report == REPORT_AS_EVER) {
            fprintf(stderr, "can't load '%s'\n", path);
            return nullptr;
        }
        find(*set, std::string("cannot be read: ") + strerror(open_error), false, 0);
        return set;
    }
    counting_reader reader{file, set.get()};
    const int parsed = ini_parse_stream(counting_reader::read, &reader, rule_option_handler,
                                        set.get());
    fclose(file);
    set->line = 0;
    if (parsed < 0) {
        if (report == REPORT_AS_EVER) {
            fprintf(stderr, "can't load '%s'\n", path);
            return nullptr;
        }
        find(*set, "cannot be read", false, 0);
        return set;
    }
    try {
        for (injection_rule &rule : set->rules)
            prepare_rule(*set, rule, quiet);
        gather_patterns(*set);
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

bool rule_set_has_complaints(const rule_set &set)
{
    return std::any_of(set.complaints.begin(), set.complaints.end(),
                       [](const rule_complaint &complaint) { return !complaint.warning; });
}

void rule_set_print_complaints(const rule_set &set, const char *path)
{
    // From the top of the file down, each line's in the order found.
    std::vector<rule_complaint> in_order = set.complaints;
    std::stable_sort(in_order.begin(), in_order.end(),
                     [](const rule_complaint &a, const rule_complaint &b) { return a.line < b.line; });
    for (const rule_complaint &complaint : in_order) {
        const std::string where =
            complaint.line == 0 ? std::string(path) : std::string(path) + ":" + std::to_string(complaint.line);
        fprintf(stderr, "%s: %s%s\n", where.c_str(), complaint.warning ? "warning: " : "",
                complaint.text.c_str());
    }
}

std::string rule_describe(const injection_rule &rule)
{
    std::string line = rule.name + ": kind=" + kind_names[rule.kind] + " probability=" +
                       (rule.probability_ppm ? rule.probability_text
                                             : std::to_string(static_cast<int>(rule.probability)));
    for (const auto &[key, text] : rule_patterns(rule))
        if (text)
            line += std::string(" ") + key + "=" + *text;
    if (rule.uid)
        line += " uid=" + std::to_string(*rule.uid);
    line += " after=" + std::to_string(rule.after);
    line += " count=" + (rule.count ? std::to_string(*rule.count) : std::string("unbounded"));
    switch (rule.kind) {
    case ERRINJ_ERRNO:
    case ERRINJ_WRITEBACK: {
        std::string names;
        for (const int error : rule.errnos) {
            const char *errno_name = strerrorname_np(error);
            names += (names.empty() ? "" : ",") + std::string(errno_name ? errno_name : "?");
        }
        line += " errno=" + (names.empty() ? std::string("the operation's own") : names);
        if (rule.kind == ERRINJ_WRITEBACK)
            line += " persist=" + std::to_string(rule.persist) + " block=" + std::to_string(rule.block);
        break;
    }
    case ERRINJ_NOOP:
        line += std::string(" written=") + (rule.written_all ? "all" : "none");
        break;
    case ERRINJ_SLOWDOWN:
        line += " duration=" + std::to_string(rule.duration);
        break;
    case ERRINJ_SHORT:
        line += " bytes=" + (rule.bytes ? std::to_string(*rule.bytes) : std::string("any"));
        break;
    case ERRINJ_CORRUPT:
        line += std::string(" mode=") +
                (rule.mode == CORRUPT_FLIP ? "flip" : rule.mode == CORRUPT_ZERO ? "zero" : "random") +
                " bytes=" + std::to_string(rule.bytes.value_or(1));
        break;
    case ERRINJ_FULL_DISK:
        line += " space=" + std::to_string(rule.space);
        break;
    case ERRINJ_POWER_CUT:
        line += " persist=" + std::to_string(rule.persist) + " block=" + std::to_string(rule.block) +
                " names=" + names_model_names[rule.names] + " kill=" +
                (rule.kill_mount ? "mount" : "caller");
        break;
    case ERRINJ_KILL_CALLER:
        break;
    }
    return line;
}
