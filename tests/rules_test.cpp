// The rule loader. Each file under data/ is a rule file; beside it stand the
// lines it must print on each stream (.out, .err, "@PATH@" for its own path)
// and the rules it must yield (.rules).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "injection/rules.h"
#include "support/capture.h"

namespace {

std::string data_path(const std::string &name)
{
    return std::string(TEST_DATA_DIR) + "/" + name;
}

std::string pattern_text(const std::optional<std::string> &pattern)
{
    return pattern ? "'" + *pattern + "'" : "none";
}

std::string describe(const rule_set &set)
{
    std::ostringstream text;
    for (const injection_rule &rule : set.rules)
        text << kind_names[rule.kind] << " op_regexp=" << pattern_text(rule.op_regexp)
             << " path_regexp=" << pattern_text(rule.path_regexp)
             << " probability=" << rule.probability << " duration=" << rule.duration
             << "\n";
    return text.str();
}

std::string with_path(std::string text, const std::string &path)
{
    for (std::size_t at; (at = text.find("@PATH@")) != std::string::npos;)
        text.replace(at, 6, path);
    return text;
}

class GoldenRuleFile : public testing::TestWithParam<const char *> {};

TEST_P(GoldenRuleFile, PrintsAndYieldsWhatItsGoldenFilesSay)
{
    const std::string name = GetParam();
    const std::string path = data_path(name + ".conf");
    rule_set_ptr set;
    const captured_output printed = capture([&] { set = rule_set_load(path.c_str()); });

    ASSERT_TRUE(set);
    EXPECT_EQ(printed.out, with_path(read_file(data_path(name + ".out")), path));
    EXPECT_EQ(printed.err, read_file(data_path(name + ".err")));
    EXPECT_EQ(describe(*set), read_file(data_path(name + ".rules")));
}

INSTANTIATE_TEST_SUITE_P(RuleFiles, GoldenRuleFile,
                         testing::Values("example", "continuation", "sections",
                                         "repeats", "comments", "named"));

// What the golden lines cannot show: which rule took which of the new keys.
TEST(RuleSetLoad, NamedRulesKeepTheirOwnKeys)
{
    rule_set_ptr set;
    const std::string path = data_path("named.conf");
    capture([&] { set = rule_set_load(path.c_str()); });
    ASSERT_TRUE(set);
    std::vector<std::string> names;
    for (const injection_rule &rule : set->rules)
        names.push_back(rule.name);
    EXPECT_EQ(names, (std::vector<std::string>{"errinj_errno.wal", "errinj_errno", "errinj_errno.db",
                                                "errinj_noop.x", "errinj_errno.lock_too",
                                                "errinj_errno.spared"}));
    const injection_rule &wal = set->rules[0];
    EXPECT_EQ(wal.errnos, (std::vector<int>{ENOSPC, EDQUOT}));  // refused values left it alone
    EXPECT_FALSE(wal.count);
    const injection_rule &db = set->rules[2];
    EXPECT_EQ(db.errnos, (std::vector<int>{EIO, EIO, ENOSPC}));
    EXPECT_EQ(db.after, 2u);
    EXPECT_EQ(db.count, 1u);
    EXPECT_EQ(db.uid, 999u);
    EXPECT_EQ(db.process_regexp, "^postgres$");
    EXPECT_EQ(db.op_matches, op_bit(OP_READ));
    EXPECT_EQ(set->rules[4].lock_errnos, std::vector<int>{EIO});
    EXPECT_EQ(set->rules[5].lock_errnos, std::vector<int>{});
}

// Past the limit a rule is refused once, by name, and the rest still counts.
TEST(RuleSetLoad, RulesPastTheLimitAreRefusedByName)
{
    const temp_dir dir;
    const std::string path = dir / "tavrin.conf";
    std::string text;
    for (std::size_t i = 0; i <= MAX_RULES; ++i)
        text += "[errinj_noop.r" + std::to_string(i) + "]\nprobability = 1\nduration = 2\n";
    text += "[errinj_noop.r0]\nprobability = 7\n";
    write_file(path, text);
    rule_set_ptr set;
    const captured_output printed = capture([&] { set = rule_set_load(path.c_str()); });
    ASSERT_TRUE(set);
    ASSERT_EQ(set->rules.size(), MAX_RULES);
    EXPECT_EQ(set->rules[0].probability, 7u);
    EXPECT_EQ(printed.err, "errinj 'errinj_noop.r" + std::to_string(MAX_RULES) +
                               "' refused: a rule file holds at most " +
                               std::to_string(MAX_RULES) + " rules\n");
}

TEST(Catalogue, ErrnoNamesAreThePlatformsOwn)
{
    EXPECT_EQ(errno_by_name("EIO"), EIO);
    EXPECT_EQ(errno_by_name("EDQUOT"), EDQUOT);
    EXPECT_EQ(errno_by_name("EWOULDBLOCK"), EAGAIN);
    EXPECT_EQ(errno_by_name("ENOTSUP"), EOPNOTSUPP);
    EXPECT_EQ(errno_by_name("eio"), 0);
    EXPECT_EQ(errno_by_name("5"), 0);
    EXPECT_EQ(errno_by_name(""), 0);
}

TEST(RuleSetLoad, AbsentFileGivesAnEmptySetAndOneLine)
{
    const temp_dir dir;
    const std::string path = dir / "tavrin.conf";
    rule_set_ptr set;
    const captured_output printed = capture([&] { set = rule_set_load(path.c_str()); });
    ASSERT_TRUE(set);
    EXPECT_TRUE(set->rules.empty());
    EXPECT_EQ(printed.out, "read configuration " + path + "\n");
    EXPECT_EQ(printed.err, "");
}

// Root reads any file, so the unreadable case runs as nobody in a child.
TEST(RuleSetLoad, UnreadableFileGivesNoneAndSaysSo)
{
    const temp_dir dir;
    chmod(dir.path().c_str(), 0755);
    const std::string path = dir / "tavrin.conf";
    write_file(path, "[errinj_noop]\nprobability = 1\n");
    chmod(path.c_str(), 0);

    const captured_output printed = capture([&] {
        const pid_t child = fork();
        if (child == 0) {
            if (geteuid() == 0 && setuid(65534) != 0)
                _exit(3);
            const bool none = !rule_set_load(path.c_str());
            fflush(nullptr);
            _exit(none ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    });
    EXPECT_EQ(printed.out, "read configuration " + path + "\n");
    EXPECT_EQ(printed.err, "can't load '" + path + "'\n");
}

TEST(RuleOptionHandler, AnswersByWhatItTook)
{
    rule_set set;
    capture([&] {
        EXPECT_EQ(rule_option_handler(&set, "errinj_noop", "probability", "3"), 1);
        EXPECT_EQ(rule_option_handler(&set, "errinj_noop", "colour", "red"), 0);
        EXPECT_EQ(rule_option_handler(&set, "errinj_nope", "probability", "3"), -1);
    });
    ASSERT_EQ(set.rules.size(), 1u);
    EXPECT_EQ(set.rules[0].probability, 3u);
}

// Rule files no one meant to write: the loader takes what inih delivers and
// never fails on it.
TEST(RuleSetLoad, HostileFilesLoadAndRelease)
{
    const temp_dir dir;
    const std::string path = dir / "tavrin.conf";
    auto load = [&](const std::string &content) {
        write_file(path, content);
        rule_set_ptr set;
        capture([&] { set = rule_set_load(path.c_str()); });
        return set;
    };

    // A line is read in pieces of 199 characters; the rest is a line of its own.
    rule_set_ptr set = load("[errinj_noop]\npath_regexp = " + std::string(400, 'x') + "\n");
    ASSERT_TRUE(set);
    ASSERT_EQ(set->rules.size(), 1u);
    EXPECT_EQ(set->rules[0].path_regexp->size(), 199u - std::string("path_regexp = ").size());

    // A NUL byte ends the line's text; a byte order mark is skipped.
    set = load(std::string("\xef\xbb\xbf[errinj_errno]\nprobability = 4\0" "7\n", 35));
    ASSERT_TRUE(set);
    ASSERT_EQ(set->rules.size(), 1u);
    EXPECT_EQ(set->rules[0].probability, 4u);

    // Thousands of sections of one kind make one rule; the last value wins.
    std::string many;
    for (int i = 0; i < 5000; ++i)
        many += "[errinj_slowdown]\nduration = " + std::to_string(i) + "\n[nonsense" +
                std::to_string(i) + "]\nkey = value\n";
    set = load(many);
    ASSERT_TRUE(set);
    ASSERT_EQ(set->rules.size(), 1u);
    EXPECT_EQ(set->rules[0].duration, 4999u);

    // Numbers as atoi reads them, kept to 32 bits.
    set = load("[errinj_noop]\nprobability = 99999999999999999999999\nduration = -2.9e9\n");
    ASSERT_TRUE(set);
    EXPECT_EQ(set->rules[0].probability, 4294967295u);
    EXPECT_EQ(set->rules[0].duration, 4294967294u);

    // Binary junk is no rule file, yet still loads.
    std::string junk;
    for (int i = 0; i < 4096; ++i)
        junk += static_cast<char>((i * 131 + 7) % 256);
    EXPECT_TRUE(load(junk));
}

}  // namespace
