// A compiled rule pattern: POSIX extended syntax, case ignored. It keeps the
// compile result, so that a pattern which does not compile is still reported
// as such each time it is used.
#pragma once

#include <regex.h>

// POSIX leaves adjacent duplication symbols ("a++", "a*{2}") undefined, and
// glibc's regcomp copies the repeated subtree for each of them, so a run of
// them takes memory exponential in its length: a rule file could exhaust the
// daemon. Such a pattern is refused as one that does not compile.
bool stacks_repetitions(const char *pattern);

class compiled_pattern {
public:
    explicit compiled_pattern(const char *pattern)
        : status_(stacks_repetitions(pattern)
                      ? REG_BADRPT
                      : regcomp(&regex_, pattern, REG_EXTENDED | REG_ICASE)) {}
    ~compiled_pattern()
    {
        if (status_ == 0)
            regfree(&regex_);
    }
    compiled_pattern(const compiled_pattern &) = delete;
    compiled_pattern &operator=(const compiled_pattern &) = delete;

    // 0 when text matches (anywhere); otherwise regcomp's or regexec's code,
    // with the name of the call that failed in *failed_call, for its perror
    // line. errno is as that call left it.
    int mismatch(const char *text, const char **failed_call) const;

private:
    regex_t regex_;
    int status_;
};
