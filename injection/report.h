// The report lines of a check. The skip lines of a check that no rule
// fired for, and the regcomp/regexec lines before them, are gathered by a
// skip_report; the lines of rules that act go to standard output as they
// happen, each beside the trace event that records the same thing.
#pragma once

#include <nlohmann/json.hpp>

#include <charconv>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "rules.h"

// The standard-error lines of one check that no rule fired for: the skip
// lines and the regcomp/regexec lines before them. They are gathered and
// written at once, because a write per line under the lock is most of what
// a check with several idle rules costs, and they are put together from
// their pieces, because formatting them was most of the rest. What is
// gathered goes out before the check prints anything on standard output and
// when it ends, so the lines and their order across both streams stay as
// they were. A quiet report gathers nothing.
class skip_report {
public:
    explicit skip_report(bool quiet) : quiet_(quiet) {}
    skip_report(const skip_report &) = delete;
    skip_report &operator=(const skip_report &) = delete;
    ~skip_report() { flush(); }

    bool quiet() const { return quiet_; }

    // "errinj 'RULE' skipped: FILTER (VALUE) is not matched"
    void add_skip(const injection_rule &rule, const char *filter, std::string_view value,
                  const char *verdict = "is not matched")
    {
        if (!quiet_)
            add({"errinj '", rule.name, "' skipped: ", filter, " (", value, ") ", verdict, "\n"});
    }

    // The same with a number, printed as a signed decimal.
    void add_skip(const injection_rule &rule, const char *filter, uint32_t value,
                  const char *verdict = "is not matched")
    {
        if (quiet_)
            return;
        char digits[16];
        const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<int>(value)).ptr;
        add_skip(rule, filter, std::string_view(digits, static_cast<std::size_t>(end - digits)),
                 verdict);
    }

    // The line perror(call) would print, with the current errno. The daemon
    // never sets a locale, so strerror's text is the untranslated one;
    // taking it from the table directly spares a message-catalogue search on
    // every line (each regexec that does not match prints one).
    void add_perror(const char *call)
    {
        if (quiet_)
            return;
        const char *description = strerrordesc_np(errno);
        add({call, ": ", description != nullptr ? description : strerror(errno), "\n"});
    }

    void flush()
    {
        if (length_ > 0)
            fwrite(buffer_, 1, length_, stderr);
        length_ = 0;
    }

private:
    void add(std::initializer_list<std::string_view> pieces)
    {
        for (const std::string_view piece : pieces) {
            if (piece.size() > sizeof buffer_ - length_) {
                flush();
                if (piece.size() > sizeof buffer_) {  // a long pattern, as it comes
                    fwrite(piece.data(), 1, piece.size(), stderr);
                    continue;
                }
            }
            memcpy(buffer_ + length_, piece.data(), piece.size());
            length_ += piece.size();
        }
    }

    bool quiet_;
    char buffer_[4096];
    std::size_t length_ = 0;
};

// "errno 'TEXT'", and the errno's name in the event.
void report_errno(int error, nlohmann::json &event);

// "transfer cut to N of M bytes".
void report_cut(uint64_t to, uint64_t from, nlohmann::json &event);
