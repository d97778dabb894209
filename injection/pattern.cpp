// Compiling and matching rule patterns.
#include "pattern.h"

#include <cctype>
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

int compiled_pattern::mismatch(const char *text, const char **failed_call) const
{
    if (status_ != 0) {
        *failed_call = "regcomp";
        return status_;
    }
    regmatch_t match[1];
    const int result = regexec(&regex_, text, 1, match, 0);
    if (result != 0)
        *failed_call = "regexec";
    return result;
}
