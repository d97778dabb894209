// Compiling and matching rule patterns.
#include "pattern.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <string>

bool stacks_repetitions(const char *pattern)
{
    const std::string text = pattern;
    bool after_repetition = false;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        bool repetition = c == '*' || c == '+' || c == '?';
        if (c == '\\') {
            ++at;  // an escaped character is an atom
        } else if (c == '[') {
            // A bracket expression is one atom: "]" first is a member, and
            // [: :], [. .] and [= =] may hold a "]".
            std::size_t end = at + 1;
            if (end < text.size() && text[end] == '^')
                ++end;
            if (end < text.size() && text[end] == ']')
                ++end;
            while (end < text.size() && text[end] != ']') {
                if (text[end] == '[' && end + 1 < text.size() &&
                    (text[end + 1] == ':' || text[end + 1] == '.' || text[end + 1] == '=')) {
                    const std::size_t close = text.find(std::string{text[end + 1], ']'}, end + 2);
                    end = close == std::string::npos ? text.size() : close + 2;
                } else {
                    ++end;
                }
            }
            at = end;
        } else if (c == '{' && at + 1 < text.size() && isdigit(static_cast<unsigned char>(text[at + 1]))) {
            repetition = true;
            const std::size_t close = text.find('}', at);
            at = close == std::string::npos ? text.size() : close;
        }
        if (repetition && after_repetition)
            return true;
        after_repetition = repetition;
    }
    return false;
}

std::string required_prefix(const char *pattern)
{
    // An alternative anywhere may drop the anchor; leave such patterns alone.
    if (pattern[0] != '^' || strchr(pattern, '|') != nullptr)
        return "";
    std::string prefix;
    const char *at = pattern + 1;
    while (*at != '\0' && strchr("\\.[]()*+?{}^$", *at) == nullptr)
        prefix += *at++;
    // A repetition after the run applies to its last character.
    if (!prefix.empty() && *at != '\0' && strchr("*+?{", *at) != nullptr)
        prefix.pop_back();
    return prefix;
}

std::string compiled_pattern::error_text() const
{
    if (status_ == 0)
        return "";
    char text[256];
    regerror(status_, nullptr, text, sizeof text);
    return text;
}

int compiled_pattern::mismatch(const char *text, const char **failed_call) const
{
    if (status_ != 0) {
        *failed_call = "regcomp";
        return status_;
    }
    // Most rule paths are anchored literals: comparing the prefix answers
    // those that cannot match without the engine. A plain mismatch leaves
    // errno alone either way, so the perror line is the one regexec's gives.
    if (!prefix_.empty() && strncasecmp(text, prefix_.c_str(), prefix_.size()) != 0) {
        *failed_call = "regexec";
        return REG_NOMATCH;
    }
    const int result = regexec(&regex_, text, 0, nullptr, 0);
    if (result != 0)
        *failed_call = "regexec";
    return result;
}
