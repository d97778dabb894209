// Matching the patterns of every rule of a set in one pass.
#include "pattern_set.h"

#include <re2/re2.h>
#include <re2/set.h>

#include <cerrno>
#include <cstring>

namespace {

char ascii_lower(unsigned char c)
{
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }

// A recursive-descent reader of the part of POSIX extended syntax whose
// meaning RE2 shares, writing RE2's spelling of it. Whatever it is not sure
// of it refuses, and the pattern is left to regexec: a construct POSIX
// leaves undefined (a repetition with nothing to repeat, an empty branch),
// a GNU extension (\w, \<, back-references), collating elements and
// equivalence classes, intervals past 255, bytes outside printable ASCII
// (REG_ICASE folds only ASCII in the C locale), and ranges other than within
// digits, lower-case or upper-case letters (how REG_ICASE folds the others
// is the regex library's own affair).
class translator {
public:
    explicit translator(const char *pattern) : at_(pattern) {}

    bool run(std::string &out)
    {
        if (*at_ == '\0' || !alternation(out) || *at_ != '\0')
            return false;
        return true;
    }

private:
    bool alternation(std::string &out)
    {
        if (!branch(out))
            return false;
        while (*at_ == '|') {
            ++at_;
            out += '|';
            if (!branch(out))
                return false;
        }
        return true;
    }

    // One or more pieces; "^" only first, "$" only last.
    bool branch(std::string &out)
    {
        bool empty = true;
        if (*at_ == '^') {
            out += '^';
            ++at_;
            empty = false;
        }
        while (*at_ != '\0' && *at_ != '|' && *at_ != ')') {
            if (*at_ == '$') {
                ++at_;
                if (*at_ != '\0' && *at_ != '|' && *at_ != ')')
                    return false;
                out += '$';
                return true;
            }
            if (!piece(out))
                return false;
            empty = false;
        }
        return !empty;
    }

    bool piece(std::string &out)
    {
        if (!atom(out))
            return false;
        switch (*at_) {
        case '*':
        case '+':
        case '?':
            out += *at_++;
            break;
        case '{':
            if (!interval(out))
                return false;
            break;
        default:
            return true;
        }
        // A repetition of a repetition is undefined.
        return *at_ == '\0' || strchr("*+?{", *at_) == nullptr;
    }

    bool interval(std::string &out)
    {
        ++at_;  // '{'
        unsigned low = 0, high = 0;
        if (!number(low))
            return false;
        std::string text = "{" + std::to_string(low);
        if (*at_ == ',') {
            ++at_;
            text += ',';
            if (*at_ != '}') {
                if (!number(high) || high < low)
                    return false;
                text += std::to_string(high);
            }
        }
        if (*at_ != '}')
            return false;
        ++at_;
        out += text + "}";
        return true;
    }

    bool number(unsigned &value)
    {
        if (!is_digit(*at_))
            return false;
        value = 0;
        while (is_digit(*at_)) {
            value = value * 10 + static_cast<unsigned>(*at_++ - '0');
            if (value > 255)
                return false;
        }
        return true;
    }

    bool atom(std::string &out)
    {
        const char c = *at_;
        switch (c) {
        case '.':
            ++at_;
            out += '.';
            return true;
        case '(': {
            ++at_;
            out += "(";
            if (*at_ == ')' || !alternation(out) || *at_ != ')')
                return false;
            ++at_;
            out += ')';
            return true;
        }
        case '[':
            return bracket(out);
        case '\\': {
            const char escaped = at_[1];
            // Only punctuation that is special: anything else after a
            // backslash is an extension or undefined.
            if (escaped == '\0' || strchr(".[]()*+?{}|^$\\", escaped) == nullptr)
                return false;
            at_ += 2;
            out += '\\';
            out += escaped;
            return true;
        }
        case '*':
        case '+':
        case '?':
        case '{':
        case '}':
        case ')':
        case '^':
        case '$':
        case '|':
            return false;
        default:
            return literal(c, out);
        }
    }

    bool literal(char c, std::string &out)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e)
            return false;
        ++at_;
        if (!is_digit(c) && !is_lower(c) && !is_upper(c) && c != ' ')
            out += '\\';
        out += c;
        return true;
    }

    bool bracket(std::string &out)
    {
        ++at_;  // '['
        out += '[';
        if (*at_ == '^') {
            out += '^';
            ++at_;
        }
        bool first = true;
        while (first || *at_ != ']') {
            if (*at_ == '\0')
                return false;
            if (at_[0] == '[' && (at_[1] == '.' || at_[1] == '=')) {
                return false;
            }
            if (at_[0] == '[' && at_[1] == ':') {
                if (!char_class(out))
                    return false;
            } else if (!bracket_member(first, out)) {
                return false;
            }
            first = false;
        }
        ++at_;
        out += ']';
        return true;
    }

    bool char_class(std::string &out)
    {
        static const char *const names[] = {"alpha", "digit", "alnum", "upper", "lower",
                                            "space", "blank", "punct", "xdigit"};
        const char *close = strstr(at_ + 2, ":]");
        if (close == nullptr)
            return false;
        const std::string name(at_ + 2, close);
        for (const char *known : names) {
            if (name == known) {
                out += "[:" + name + ":]";
                at_ = close + 2;
                return true;
            }
        }
        return false;
    }

    // A byte, or a range of two; "-" is a member first or last only.
    bool bracket_member(bool first, std::string &out)
    {
        const char start = *at_;
        const auto byte = static_cast<unsigned char>(start);
        if (byte < 0x20 || byte > 0x7e)
            return false;
        if (start == '-' && !first && at_[1] != ']')
            return false;
        ++at_;
        if (*at_ == '-' && at_[1] != ']' && at_[1] != '\0') {
            const char end = at_[1];
            const bool same_kind = (is_digit(start) && is_digit(end)) ||
                                   (is_lower(start) && is_lower(end)) ||
                                   (is_upper(start) && is_upper(end));
            if (!same_kind || end < start)
                return false;
            at_ += 2;
            out += start;
            out += '-';
            out += end;
            return true;
        }
        // Inside brackets a backslash is itself in POSIX; in RE2 it escapes.
        if (!is_digit(start) && !is_lower(start) && !is_upper(start))
            out += '\\';
        out += start;
        return true;
    }

    const char *at_;
};

RE2::Options set_options()
{
    RE2::Options options;
    options.set_posix_syntax(true);
    options.set_longest_match(true);
    options.set_case_sensitive(false);
    options.set_encoding(RE2::Options::EncodingLatin1);  // bytes, as in the C locale
    options.set_dot_nl(true);    // regcomp without REG_NEWLINE: "." takes "\n" too
    options.set_one_line(true);  // and "^", "$" are the text's ends only
    options.set_log_errors(false);
    return options;
}

}  // namespace

bool posix_to_re2(const char *pattern, std::string &re2_pattern)
{
    re2_pattern.clear();
    return translator(pattern).run(re2_pattern);
}

class re2_set {
public:
    re2_set() : set(set_options(), RE2::UNANCHORED) {}
    RE2::Set set;
    std::vector<std::size_t> members;  // the set's index -> member
};

pattern_set::pattern_set() : trie_(1) {}
pattern_set::~pattern_set() = default;

void pattern_set::add_prefix(const std::string &prefix, std::size_t member)
{
    uint32_t node = 0;
    for (const char c : prefix) {
        const auto lower = static_cast<unsigned char>(ascii_lower(static_cast<unsigned char>(c)));
        uint32_t next = 0;
        for (const auto &[byte, child] : trie_[node].children)
            if (byte == lower)
                next = child;
        if (next == 0) {
            next = static_cast<uint32_t>(trie_.size());
            trie_[node].children.emplace_back(lower, next);
            trie_.emplace_back();
        }
        node = next;
    }
    trie_[node].ending.set(member);
}

void pattern_set::add(std::size_t member, const char *pattern, const compiled_pattern &compiled)
{
    pattern_route route = ROUTE_POSIX;
    if (compiled.compiled()) {
        const std::string prefix = required_prefix(pattern);
        if (prefix.empty())
            unprefixed_.set(member);
        else
            add_prefix(prefix, member);
        std::string translated;
        if (!prefix.empty() && strlen(pattern) == prefix.size() + 1) {
            route = ROUTE_PREFIX;
            decided_.set(member);
        } else if (posix_to_re2(pattern, translated)) {
            if (!re2_)
                re2_ = std::make_unique<re2_set>();
            if (re2_->set.Add(translated, nullptr) >= 0) {
                re2_->members.push_back(member);
                route = ROUTE_RE2;
                in_re2_.set(member);
            }
        }
        if (route == ROUTE_POSIX)
            in_posix_.set(member);
    }
    members_.push_back({member, &compiled, route});
}

void pattern_set::build()
{
    if (re2_ && !re2_->set.Compile()) {
        // Too large for RE2's memory bound: every member goes to regexec.
        in_posix_ |= in_re2_;
        in_re2_.reset();
        for (entry &each : members_)
            if (each.route == ROUTE_RE2)
                each.route = ROUTE_POSIX;
        re2_.reset();
    }
}

pattern_route pattern_set::route(std::size_t number) const
{
    for (const entry &each : members_)
        if (each.number == number)
            return each.route;
    return ROUTE_POSIX;
}

member_bits pattern_set::match(const char *text) const
{
    member_bits candidates = unprefixed_;
    uint32_t node = 0;
    for (const char *at = text;; ++at) {
        candidates |= trie_[node].ending;
        if (*at == '\0')
            break;
        const auto lower = static_cast<unsigned char>(ascii_lower(static_cast<unsigned char>(*at)));
        uint32_t next = 0;
        for (const auto &[byte, child] : trie_[node].children)
            if (byte == lower)
                next = child;
        if (next == 0)
            break;
        node = next;
    }
    member_bits matched = candidates & decided_;
    const member_bits undecided = candidates & ~decided_;
    if (undecided.none())
        return matched;

    const int saved_errno = errno;
    member_bits by_posix = undecided & in_posix_;
    if ((undecided & in_re2_).any()) {
        thread_local std::vector<int> found;
        RE2::Set::ErrorInfo error;
        if (re2_->set.Match(text, &found, &error)) {
            for (const int index : found)
                matched.set(re2_->members[static_cast<std::size_t>(index)]);
            matched &= candidates;
        } else if (error.kind != RE2::Set::kNoError) {
            by_posix |= undecided & in_re2_;  // the DFA ran out of memory
        }
    }
    if (by_posix.any()) {
        for (const entry &each : members_) {
            const char *failed_call = nullptr;
            if (by_posix.test(each.number) && each.compiled->mismatch(text, &failed_call) == 0)
                matched.set(each.number);
        }
    }
    errno = saved_errno;
    return matched;
}
