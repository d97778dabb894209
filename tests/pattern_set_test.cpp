// The one-pass matcher against regexec: for generated patterns and paths,
// and for every pattern of the shipped rule files and the fuzzers' seeds,
// each member of a pattern_set answers as its own compiled pattern does.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "injection/pattern_set.h"

namespace {

// Pieces of POSIX extended syntax, the well-formed and the odd, so that
// their joins reach every route and the edges between them.
const char *const pattern_pieces[] = {
    "a", "A", "b", "/", "x", "0", "9", "-", "_", " ", "%", "é", "\t", ".", "^", "$", "|",
    "(", ")", "*", "+", "?", "{2}", "{1,3}", "{0,}", "{,2}", "{300}", "{", "}", "[", "]",
    "[ab]", "[^a]", "[a-c]", "[A-C]", "[0-9]", "[Z-a]", "[A-z]", "[0-z]", "[+-/]", "[_`]", "[-a]", "[a-]", "[]a]", "[^]a]",
    "[\\]", "[.]", "[[:digit:]]", "[[:upper:]]", "[^[:lower:]]", "[[:alpha:]_]", "[[.a.]]",
    "[[=a=]]", "[[:word:]]", "\\.", "\\\\", "\\w", "\\<", "\\1", "\\n", "\\", "(a|b)",
    "(/x)+", "()", "(|a)", "a|", "^/a/", "/b$", ".*", "\\$", "\\^",
};

const char path_letters[] = "/aAbBxX09-_. \n%\t\xc3\xa9[_`^";

std::string random_pattern(std::mt19937 &generator)
{
    std::uniform_int_distribution<std::size_t> piece(0, std::size(pattern_pieces) - 1);
    std::uniform_int_distribution<int> length(1, 6);
    std::string pattern;
    for (int n = length(generator); n > 0; --n)
        pattern += pattern_pieces[piece(generator)];
    return pattern;
}

std::string random_path(std::mt19937 &generator)
{
    std::uniform_int_distribution<std::size_t> letter(0, sizeof path_letters - 2);
    std::uniform_int_distribution<int> length(0, 14);
    std::string path;
    for (int n = length(generator); n > 0; --n)
        path += path_letters[letter(generator)];
    return path;
}

// The value of a "KEY_regexp = VALUE" line of a rule file.
bool pattern_of(const std::string &line, std::string &value)
{
    const std::size_t start = line.find_first_not_of(" \t");
    const std::size_t sign = line.find_first_of("=:");
    if (start == std::string::npos || sign == std::string::npos || sign < start)
        return false;
    std::string key = line.substr(start, sign - start);
    key.erase(key.find_last_not_of(" \t") + 1);
    if (key.size() < 6 || key.compare(key.size() - 6, 6, "regexp") != 0 ||
        key.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") != std::string::npos)
        return false;
    value = line.substr(sign + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t\r") + 1);
    return true;
}

// Builds a set of the patterns and checks every path against each member.
void expect_same_as_regexec(const std::vector<std::string> &patterns,
                            const std::vector<std::string> &paths)
{
    std::vector<std::unique_ptr<compiled_pattern>> compiled;
    pattern_set set;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        compiled.push_back(std::make_unique<compiled_pattern>(patterns[i].c_str()));
        set.add(i, patterns[i].c_str(), *compiled.back());
    }
    set.build();
    for (const std::string &path : paths) {
        errno = EXDEV;
        const member_bits matched = set.match(path.c_str());
        ASSERT_EQ(errno, EXDEV) << "the matcher changed errno";
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            const char *failed_call = nullptr;
            const bool expected = compiled[i]->mismatch(path.c_str(), &failed_call) == 0;
            ASSERT_EQ(matched.test(i), expected)
                << "pattern '" << patterns[i] << "' (route " << set.route(i) << ") on path '"
                << path << "'";
        }
    }
}

TEST(PatternSet, GeneratedPatternsMatchAsRegexecDoes)
{
    std::mt19937 generator(20261211);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::string> patterns, paths;
        for (int i = 0; i < 24; ++i)
            patterns.push_back(random_pattern(generator));
        for (int i = 0; i < 60; ++i)
            paths.push_back(random_path(generator));
        // Paths made of the patterns' own pieces, so that they match often.
        for (const std::string &pattern : patterns)
            for (const std::string &near : {pattern, "/" + pattern + "/", pattern + pattern})
                paths.push_back(near);
        expect_same_as_regexec(patterns, paths);
    }
}

TEST(PatternSet, ShippedAndSeedPatternsMatchAsRegexecDoes)
{
    const std::filesystem::path data = TEST_DATA_DIR;
    std::vector<std::string> patterns;
    for (const auto &folder : {data, data / "../fuzz/seeds", data / "../../examples"}) {
        for (const auto &entry : std::filesystem::recursive_directory_iterator(folder)) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream in(entry.path());
            std::string value;
            for (std::string line; std::getline(in, line);)
                if (pattern_of(line, value))
                    patterns.push_back(value);
        }
    }
    ASSERT_GT(patterns.size(), 40u);
    std::mt19937 generator(7);
    std::vector<std::string> paths = {"/", "/srv/data/tavrin.conf", "/tmp/base/db.sqlite-wal",
                                      "/tmp/base/DB.SQLITE-JOURNAL", "/tmp/base/cfg.tmp",
                                      "/tmp/base/a/b/c.log", "/tmp/base/x.wal"};
    for (int i = 0; i < 100; ++i)
        paths.push_back(random_path(generator));
    for (const std::string &pattern : patterns)
        paths.push_back("/tmp/base" + pattern);
    for (std::size_t at = 0; at < patterns.size(); at += MAX_PATTERN_MEMBERS) {
        const auto end = patterns.begin() + static_cast<std::ptrdiff_t>(
                                                std::min(patterns.size(), at + MAX_PATTERN_MEMBERS));
        expect_same_as_regexec({patterns.begin() + static_cast<std::ptrdiff_t>(at), end}, paths);
    }
}

// The common patterns go the fast ways; the rest, to regexec.
TEST(PatternSet, EachPatternTakesTheCheapestRouteThatKeepsItsMeaning)
{
    const struct {
        const char *pattern;
        pattern_route route;
    } cases[] = {
        {"^/srv/db/", ROUTE_PREFIX},           {"^/srv/DB", ROUTE_PREFIX},
        {"\\.wal$", ROUTE_RE2},                {"^/srv/(a|b)/", ROUTE_RE2},
        {"journal", ROUTE_RE2},                {"^/db/[0-9]+\\.log$", ROUTE_RE2},
        {"[[:upper:]]{2,3}", ROUTE_RE2},       {"(a)\\1", ROUTE_POSIX},
        {"[[.a.]]", ROUTE_POSIX},              {"\\w+", ROUTE_POSIX},
        {"a{,2}", ROUTE_POSIX},                {"caf\xc3\xa9", ROUTE_POSIX},
        {"a|", ROUTE_POSIX},                   {"[A-z]", ROUTE_POSIX},
    };
    std::vector<std::unique_ptr<compiled_pattern>> compiled;
    pattern_set set;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        compiled.push_back(std::make_unique<compiled_pattern>(cases[i].pattern));
        set.add(i, cases[i].pattern, *compiled.back());
    }
    set.build();
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(set.route(i), cases[i].route) << cases[i].pattern;
}

}  // namespace
