// Rule files whose mistakes are said: the checker's golden output, -strict
// at start and at a re-read, and rules read from outside the base directory.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "mounted.h"

namespace {

std::string data_file(const std::string &name)
{
    return std::string(TEST_DATA_DIR) + "/" + name;
}

std::string with_path(std::string text, const std::string &path)
{
    for (std::size_t at; (at = text.find("@PATH@")) != std::string::npos;)
        text.replace(at, 6, path);
    return text;
}

// Waits, within a bound, until the daemon's standard output holds text
// count times.
bool printed(const mounted &fs, const std::string &text, std::size_t count)
{
    for (int i = 0; i < 1000; ++i) {
        const std::string out = fs.out();
        std::size_t seen = 0;
        for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
            ++seen;
        if (seen >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(CheckRules, SaysEveryMistakeWithItsLineAndMountsNothing)
{
    const temp_dir dir;
    const std::string mistakes = data_file("mistakes.conf"), example = data_file("example.conf");
    const struct {
        std::string file;
        int status;
        std::string err;
        std::string out;
    } cases[] = {
        {mistakes, 1, with_path(read_file(data_file("mistakes.check.err")), mistakes),
         read_file(data_file("mistakes.check.out"))},
        {example, 0, "",
         "errinj_errno: kind=errinj_errno probability=10 path_regexp=^/srv/data/db/ "
         "op_regexp=^(read|write)$ after=0 count=unbounded errno=the operation's own\n"
         "errinj_slowdown: kind=errinj_slowdown probability=100 op_regexp=fsync after=0 "
         "count=unbounded duration=500\n"},
        {dir.path(), 1, dir.path() + ": is not a regular file\n", ""},
        {dir / "absent", 1, dir / "absent" + ": cannot be read: No such file or directory\n", ""},
    };
    for (const auto &c : cases) {
        const run_result run = run_tavrin({"-check-rules=" + c.file});
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == c.status) << c.file;
        EXPECT_EQ(run.err, c.err) << c.file;
        EXPECT_EQ(run.out, c.out) << c.file;
    }
}

// Without -strict the same file prints what tavrin has always printed for it.
TEST(CheckRules, WithoutStrictTheOldLinesStand)
{
    mounted fs(NO_CACHES, read_file(data_file("mistakes.conf")));
    EXPECT_EQ(fs.err().find("mistakes"), std::string::npos);
    EXPECT_NE(fs.err().find("unknown option 'probabilty' in configuration file\n"),
              std::string::npos)
        << fs.err();
    EXPECT_EQ(fs.err().find("invalid number"), std::string::npos) << fs.err();
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

TEST(Strict, RefusesAMistakeAtStartAndKeepsTheRulesInForceAtARead)
{
    const temp_dir mount_point, base;
    write_file(base / "tavrin.conf", "[errinj_errno]\nprobabilty = 100\n");
    const run_result refused =
        run_tavrin({mount_point.path(), "-basedir=" + base.path(), "-strict", "-f"});
    EXPECT_TRUE(WIFEXITED(refused.status) && WEXITSTATUS(refused.status) == 1);
    EXPECT_NE(refused.err.find(base / "tavrin.conf" + ":2: unknown option 'probabilty'"),
              std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("refused: nothing mounted\n"), std::string::npos) << refused.err;
    EXPECT_FALSE(is_mounted(mount_point.path()));

    mounted fs(mount_settings{{"-strict", "-o", "attr_timeout=0,entry_timeout=0"},
                              "[errinj_errno]\nop_regexp = ^mkdir$\nprobability = 100\n", 1, {}});
    EXPECT_EQ(mkdir(fs.at("a").c_str(), 0755), -1);
    write_file(fs.base("tavrin.conf"), "[errinj_errno]\nop_regexp = ^mkdir$\nprobability = 1OO\n");
    struct stat st;
    ASSERT_EQ(stat(fs.at("tavrin.conf").c_str(), &st), 0);
    EXPECT_NE(fs.err().find("refused: the rules in force stay\n"), std::string::npos) << fs.err();
    EXPECT_EQ(mkdir(fs.at("a").c_str(), 0755), -1) << "the rules in force went";
    write_file(fs.base("tavrin.conf"), "");
    ASSERT_EQ(stat(fs.at("tavrin.conf").c_str(), &st), 0);
    EXPECT_EQ(mkdir(fs.at("a").c_str(), 0755), 0);
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

// Rules from elsewhere: the base directory's tavrin.conf is a file like any
// other, and SIGHUP re-reads the rules and brings the power back.
TEST(RulesOption, RulesFromOutsideAreReadAgainOnHangup)
{
    const temp_dir outside;
    const std::string rules = outside / "rules.conf";
    write_file(rules, "[errinj_power_cut]\nop_regexp = ^mkdir$\nprobability = 100\n");
    mounted fs(mount_settings{{"-rules=" + rules, "-o", "attr_timeout=0,entry_timeout=0"}, "", 1, {}});
    write_file(fs.base("tavrin.conf"), "[errinj_noop]\nprobability = 100\n");
    EXPECT_EQ(read_file(fs.at("tavrin.conf")), "[errinj_noop]\nprobability = 100\n");
    EXPECT_NE(fs.out().find("read configuration " + rules + "\n"), std::string::npos) << fs.out();

    // A file of the mirror that shares the rule file's name is recorded
    // like any other (both temporary paths have the same length).
    write_file(fs.base("rules.conf"), "");
    write_file(fs.at("rules.conf"), "unsynced");
    const std::string cut = fs.at("cut");
    const int status = in_child([&] { return mkdir(cut.c_str(), 0755) == 0 ? 0 : 1; });
    EXPECT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(read_file(fs.base("rules.conf")), "") << "taken for the rule file";
    struct stat st;
    EXPECT_EQ(stat(fs.at("tavrin.conf").c_str(), &st), -1) << "the power is off";

    write_file(rules, "");
    kill(fs.daemon_pid(), SIGHUP);
    ASSERT_TRUE(printed(fs, "power restored\n", 1)) << fs.out();
    ASSERT_TRUE(printed(fs, "read configuration " + rules + "\n", 2)) << fs.out();
    EXPECT_EQ(mkdir(fs.at("made").c_str(), 0755), 0);
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

}  // namespace
