// A compiled rule pattern: POSIX extended syntax, case ignored. It keeps the
// compile result, so that a pattern which does not compile is still reported
// as such each time it is used.
#pragma once

#include <regex.h>

#include <string>

// POSIX leaves adjacent duplication symbols ("a++", "a*{2}") undefined, and
// glibc's regcomp copies the repeated subtree for each of them, so a run of
// them takes memory exponential in its length: a rule file could exhaust the
// daemon. Such a pattern is refused as one that does not compile.
bool stacks_repetitions(const char *pattern);

// The text every match of an anchored pattern must begin with ("^/srv/db/"
// gives "/srv/db/"), or "" where none can be told without the regex engine.
std::string required_prefix(const char *pattern);

class compiled_pattern {
public:
    // No match position is ever read, so none is asked for.
    explicit compiled_pattern(const char *pattern)
        : status_(stacks_repetitions(pattern)
                      ? REG_BADRPT
                      : regcomp(&regex_, pattern, REG_EXTENDED | REG_ICASE | REG_NOSUB)),
          prefix_(required_prefix(pattern)) {}
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

    bool compiled() const { return status_ == 0; }
    // Why it did not compile, as the regex library puts it.
    std::string error_text() const;

private:
    regex_t regex_;
    int status_;
    std::string prefix_;
};
