// The patterns of one key (path_regexp, or process_regexp) over every rule
// of a set, matched against a text in one pass, whatever the number of
// rules. Each member answers exactly as its compiled_pattern does: the set
// only chooses the cheapest way to the same answer.
//
// A member takes one of three routes, chosen once when the set is built:
//   ROUTE_PREFIX  "^literal": the prefix alone decides; no engine runs.
//   ROUTE_RE2     the pattern, written in RE2's syntax, joins one RE2::Set
//                 that every such member shares. Only patterns whose meaning
//                 is the same in both engines go this way (see pattern_set.cpp).
//   ROUTE_POSIX   anything else (a back-reference, a collating element, a
//                 construct the two engines read differently): regexec, as
//                 for a single rule.
// Ahead of the engines, the members' literal prefixes ("^/srv/db/" gives
// "/srv/db/") are looked up in a trie walked once along the text, so that a
// member whose prefix the text lacks costs nothing.
//
// A built set is read-only: match may run in many threads at once. It never
// changes errno, so the perror lines that follow a mismatch read as they do
// after regexec.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pattern.h"

class re2_set;

// One bit per rule of a set.
constexpr std::size_t MAX_PATTERN_MEMBERS = 256;
using member_bits = std::bitset<MAX_PATTERN_MEMBERS>;

enum pattern_route : uint32_t { ROUTE_PREFIX, ROUTE_RE2, ROUTE_POSIX };

// Writes the pattern in RE2's syntax and returns true when RE2, with the
// options pattern_set gives it, matches exactly the texts that
// regcomp(REG_EXTENDED | REG_ICASE) matches in the C locale; false when that
// cannot be promised.
bool posix_to_re2(const char *pattern, std::string &re2_pattern);

class pattern_set {
public:
    pattern_set();
    ~pattern_set();
    pattern_set(const pattern_set &) = delete;
    pattern_set &operator=(const pattern_set &) = delete;

    // Member number member (below MAX_PATTERN_MEMBERS, each added once) is
    // pattern, compiled as compiled, which must outlive the set. A pattern
    // that does not compile is a member that never matches.
    void add(std::size_t member, const char *pattern, const compiled_pattern &compiled);
    // Ends the adding.
    void build();

    bool empty() const { return members_.empty(); }
    pattern_route route(std::size_t member) const;

    // The members whose patterns match text (anywhere in it, as regexec).
    member_bits match(const char *text) const;

private:
    struct entry {
        std::size_t number;
        const compiled_pattern *compiled;
        pattern_route route;
    };
    struct trie_node {
        std::vector<std::pair<unsigned char, uint32_t>> children;  // lower-case byte, node
        member_bits ending;  // members whose prefix ends here
    };

    void add_prefix(const std::string &prefix, std::size_t member);

    std::vector<entry> members_;
    std::vector<trie_node> trie_;
    member_bits unprefixed_;   // members every text is a candidate for
    member_bits decided_;      // ROUTE_PREFIX members: a candidate matches
    member_bits in_re2_;       // ROUTE_RE2 members
    member_bits in_posix_;     // ROUTE_POSIX members that compiled
    std::unique_ptr<re2_set> re2_;
};
