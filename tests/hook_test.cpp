// The hook: filters, actions, how rules combine, and the exact order of its
// rand() draws, which is what makes a run repeatable from its seed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "injection/hook.h"
#include "support/capture.h"
#include "support/fake_requester.h"
#include "support/hook_fixture.h"

namespace {

TEST_F(Hook, WithoutRulesOrWithAnEmptySetDoesNothingAndDrawsNothing)
{
    captured_output printed;
    srand(3);
    EXPECT_EQ(check(READ_PATH, OP_READ, &printed), 0);
    EXPECT_TRUE(drew(3, 0));

    use_rules("; nothing but a comment\n");
    srand(3);
    EXPECT_EQ(check(READ_PATH, OP_READ, &printed), 0);
    EXPECT_TRUE(drew(3, 0));
    EXPECT_EQ(printed.out + printed.err, "");
}

TEST_F(Hook, FiringErrnoRulePrintsTriggerAndErrnoLines)
{
    use_rules("[errinj_errno]\nop_regexp = ^read$\nprobability = 100\n");
    srand(9);
    rand();
    const int expected = errno_lists[OP_READ].entries[rand() % errno_lists[OP_READ].count];

    srand(9);
    captured_output printed;
    EXPECT_EQ(check(READ_PATH, OP_READ, &printed), -expected);
    EXPECT_EQ(printed.out, std::string("errinj_errno triggered on operation 'read', ") +
                               READ_PATH + "\nerrno '" + strerror(expected) + "'\n");
    EXPECT_EQ(printed.err, "");
}

// The reported order: perror's "regexec" line, then the filter's skip line.
TEST_F(Hook, NonMatchingFiltersSkipWithTheirLines)
{
    use_rules("[errinj_noop]\nop_regexp = ^read$\nprobability = 100\n"
              "[errinj_errno]\npath_regexp = ^/elsewhere/\nprobability = 100\n");
    captured_output printed;
    EXPECT_EQ(check(READ_PATH, OP_OPEN, &printed), 0);
    EXPECT_EQ(printed.out, "");
    EXPECT_EQ(printed.err.find("regexec: "), 0u) << printed.err;
    EXPECT_NE(printed.err.find("\nerrinj 'errinj_noop' skipped: op_regexp (^read$) is not matched\n"
                               "regexec: "),
              std::string::npos)
        << printed.err;
    EXPECT_NE(printed.err.find("\nerrinj 'errinj_errno' skipped: path_regexp (^/elsewhere/) is not "
                               "matched\n"),
              std::string::npos)
        << printed.err;
}

// Every rule of a check that fires nothing leaves its lines, whole and in
// rule order; the regcomp/regexec lines carry errno as perror would print it.
TEST_F(Hook, SkipReportOfAQuietCheckIsExact)
{
    use_rules("[errinj_errno]\npath_regexp = ^/elsewhere/\nprobability = 100\n"
              "[errinj_noop]\nprobability = 0\n"
              "[errinj_slowdown]\npath_regexp = (unclosed\nprobability = 100\n"
              "[errinj_kill_caller]\nop_regexp = ^write$\nprobability = 100\n");
    int32_t result = 1;
    const captured_output printed = capture([&] {
        errno = EXDEV;
        result = injection_check(READ_PATH, OP_READ);
    });
    const std::string error = std::string(": ") + strerror(EXDEV) + "\n";
    EXPECT_EQ(result, 0);
    EXPECT_EQ(printed.out, "");
    EXPECT_EQ(printed.err, "regexec" + error +
                               "errinj 'errinj_errno' skipped: path_regexp (^/elsewhere/) is not matched\n"
                               "errinj 'errinj_noop' skipped: probability (0) is not matched\n"
                               "regcomp" + error +
                               "errinj 'errinj_slowdown' skipped: path_regexp ((unclosed) is not matched\n"
                               "regexec" + error +
                               "errinj 'errinj_kill_caller' skipped: op_regexp (^write$) is not matched\n");
}

TEST_F(Hook, PatternsAreUnanchoredCaseBlindSearches)
{
    use_rules("[errinj_noop]\nop_regexp = READ\nprobability = 100\n");
    EXPECT_EQ(check(READ_PATH, OP_READ), INJECT_SKIP);
    EXPECT_EQ(check(READ_PATH, OP_READLINK), INJECT_SKIP);
    EXPECT_EQ(check(READ_PATH, OP_READDIR), INJECT_SKIP);
    EXPECT_EQ(check(READ_PATH, OP_WRITE), 0);

    use_rules("[errinj_noop]\nop_regexp = create\nprobability = 100\n");
    EXPECT_EQ(check(READ_PATH, OP_CREAT), 0);
    use_rules("[errinj_noop]\nop_regexp = ^creat$\nprobability = 100\n");
    EXPECT_EQ(check(READ_PATH, OP_CREAT), INJECT_SKIP);
}

TEST_F(Hook, PatternThatDoesNotCompileNeverFires)
{
    use_rules("[errinj_noop]\npath_regexp = (unclosed\nprobability = 100\n");
    captured_output printed;
    EXPECT_EQ(check(READ_PATH, OP_READ, &printed), 0);
    EXPECT_EQ(printed.err.find("regcomp: "), 0u) << printed.err;
    EXPECT_NE(printed.err.find("\nerrinj 'errinj_noop' skipped: path_regexp ((unclosed) is not "
                               "matched\n"),
              std::string::npos);
    capture([] {
        EXPECT_NE(regex_mismatch("(unclosed", "x"), 0);
        EXPECT_EQ(regex_mismatch("^srv", "SRV/data"), 0);
    });
}

// The draw is d = rand() % 101 and a rule passes when d <= probability;
// a probability of 0 is a rule switched off, yet its draw is still made.
TEST_F(Hook, ProbabilityFilterFollowsTheDraw)
{
    for (const char *always : {"100", "150", "-5"}) {
        use_rules(std::string("[errinj_noop]\nprobability = ") + always + "\n");
        for (int i = 0; i < 300; ++i)
            ASSERT_EQ(check(READ_PATH, OP_READ), INJECT_SKIP) << always;
    }

    use_rules("[errinj_noop]\nprobability = 0\n");
    srand(1);
    for (int i = 0; i < 3000; ++i) {
        captured_output printed;
        ASSERT_EQ(check(READ_PATH, OP_READ, &printed), 0);
        ASSERT_EQ(printed.err, "errinj 'errinj_noop' skipped: probability (0) is not matched\n");
    }
    EXPECT_TRUE(drew(1, 3000));

    use_rules("[errinj_noop]\nprobability = 30\n");
    srand(77);
    std::vector<int> draws;
    for (int i = 0; i < 500; ++i)
        draws.push_back(rand() % 101);
    srand(77);
    for (int d : draws)
        ASSERT_EQ(check(READ_PATH, OP_READ), d <= 30 ? INJECT_SKIP : 0) << d;
}

TEST_F(Hook, LastFiringErrnoOrNoopRuleDecides)
{
    use_rules("[errinj_errno]\nprobability = 100\n[errinj_noop]\nprobability = 100\n");
    captured_output printed;
    EXPECT_EQ(check(READ_PATH, OP_READ, &printed), INJECT_SKIP);
    EXPECT_NE(printed.out.find("errinj_errno triggered"), std::string::npos);
    EXPECT_NE(printed.out.find("\nerrno '"), std::string::npos);
    EXPECT_NE(printed.out.find("errinj_noop triggered"), std::string::npos);

    use_rules("[errinj_noop]\nprobability = 100\n[errinj_errno]\nprobability = 100\n");
    EXPECT_LT(check(READ_PATH, OP_READ), 0);

    use_rules("[errinj_slowdown]\nprobability = 100\n[errinj_kill_caller]\nprobability = 100\n");
    EXPECT_EQ(check(READ_PATH, OP_READ, &printed), 0);
    EXPECT_EQ(printed.out, std::string("errinj_slowdown triggered on operation 'read', ") +
                               READ_PATH +
                               "\nstart of 'read' slowdown for '0' ns\n"
                               "end of 'read' slowdown with '0' ns\n"
                               "errinj_kill_caller triggered on operation 'read', " +
                               READ_PATH + "\n");
}

// One draw per rule before its filters, one more right after an errno rule's
// trigger line: replay the sequence by hand and compare every verdict.
TEST_F(Hook, DrawsComeInTheDocumentedOrder)
{
    use_rules("[errinj_errno]\nprobability = 40\nop_regexp = ^(read|write)$\n"
              "[errinj_noop]\nprobability = 20\n"
              "[errinj_slowdown]\nprobability = 60\nop_regexp = nothing\n");
    const fs_op ops[] = {OP_READ, OP_WRITE, OP_OPEN, OP_GETATTR};

    srand(2024);
    std::vector<int32_t> expected;
    for (int i = 0; i < 400; ++i) {
        const fs_op op = ops[i % 4];
        int32_t result = 0;
        if (rand() % 101 <= 40 && (op == OP_READ || op == OP_WRITE))
            result = -errno_lists[op].entries[rand() % errno_lists[op].count];
        if (rand() % 101 <= 20)
            result = INJECT_SKIP;
        rand();  // the slowdown's draw; its op filter never passes
        expected.push_back(result);
    }
    const int next = rand();

    srand(2024);
    for (int i = 0; i < 400; ++i)
        ASSERT_EQ(check(READ_PATH, ops[i % 4]), expected[i]) << i;
    EXPECT_EQ(rand(), next);
}

TEST_F(Hook, SameSeedSameChecksSameReport)
{
    use_rules("[errinj_errno]\nprobability = 50\n[errinj_noop]\nprobability = 10\n");
    auto run = [&] {
        srand(42);
        std::string report;
        for (int i = 0; i < 200; ++i) {
            captured_output printed;
            report += std::to_string(check(READ_PATH, static_cast<fs_op>(i % FS_OP_COUNT), &printed));
            report += printed.out + printed.err;
        }
        return report;
    };
    EXPECT_EQ(run(), run());
}

TEST_F(Hook, RuleFileOwnPathReloadsAndIsNeverDisturbed)
{
    use_rules("[errinj_errno]\nprobability = 100\n");
    write_file(mount_state.config_path, "[errinj_noop]\nprobability = 100\n");

    captured_output printed;
    srand(8);
    EXPECT_EQ(check(mount_state.config_path.c_str(), OP_WRITE, &printed), 0);
    EXPECT_TRUE(drew(8, 0));
    EXPECT_EQ(printed.out, "read configuration " + mount_state.config_path +
                               "\nenabled error injection errinj_noop\n"
                               "[errinj_noop] probability = 100\n");
    EXPECT_EQ(check(READ_PATH, OP_READ), INJECT_SKIP);

    // A path naming the same file in other bytes is an ordinary path.
    const std::string other_spelling = dir_.path() + "//tavrin.conf";
    EXPECT_EQ(check(other_spelling.c_str(), OP_READ), INJECT_SKIP);

    // Gone: an empty set; unreadable would give none, tested with the loader.
    unlink(mount_state.config_path.c_str());
    EXPECT_EQ(check(mount_state.config_path.c_str(), OP_GETATTR), 0);
    ASSERT_TRUE(mount_state.rules);
    EXPECT_TRUE(mount_state.rules->rules.empty());
}

// A cut ends the check: no later rule turns its EIO into anything else or
// prints a line with the power off.
TEST_F(Hook, PowerCutEndsTheWalk)
{
    for (const char *later : {"errinj_noop", "errinj_errno", "errinj_slowdown", "errinj_short"}) {
        use_rules(std::string("[errinj_power_cut]\nprobability = 100\n[") + later +
                  "]\nprobability = 100\n");
        captured_output printed;
        EXPECT_EQ(check(READ_PATH, OP_READ, &printed), -EIO) << later;
        EXPECT_EQ(lines_starting(printed.out, later).size(), 0u) << printed.out;
        EXPECT_EQ(mount_state.rules->rules[1].visits, 0u) << later;
        capture([] { injection_reload(); });  // power on
    }
}

TEST_F(Hook, KillRuleKillsTheRequesterAndNothingElse)
{
    use_rules("[errinj_kill_caller]\nprobability = 100\n");
    const pid_t victim = fork();
    if (victim == 0) {
        pause();
        _exit(0);
    }
    fake_requester = victim;
    captured_output printed;
    EXPECT_EQ(check(READ_PATH, OP_READ, &printed), 0);
    int status = 0;
    ASSERT_EQ(waitpid(victim, &status, 0), victim);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_NE(printed.out.find("send signal " + std::string(strsignal(SIGKILL)) + " to TID " +
                               std::to_string(victim) + "\n"),
              std::string::npos);

    // No requester, or the filesystem itself: the trigger line and nothing more.
    for (int pid : {0, -1, static_cast<int>(getpid())}) {
        fake_requester = pid;
        EXPECT_EQ(check(READ_PATH, OP_RELEASE, &printed), 0);
        EXPECT_EQ(printed.out, std::string("errinj_kill_caller triggered on operation 'release', ") +
                                   READ_PATH + "\n");
        EXPECT_EQ(printed.err, "");
    }

    fake_requester = 99999999;  // no such process
    EXPECT_EQ(check(READ_PATH, OP_READ, &printed), 0);
    EXPECT_EQ(printed.err, "kill: No such process\n");
    EXPECT_NE(printed.out.find("send signal "), std::string::npos);
}

// Paths are bytes: newlines and invalid UTF-8 are matched and printed as
// they are, and a pattern known to be costly for backtracking matchers still
// ends.
TEST_F(Hook, OddPathsAndCostlyPatterns)
{
    use_rules("[errinj_noop]\npath_regexp = b\xff$\nprobability = 100\n");
    captured_output printed;
    const char odd[] = "/base/a\nb\xff";
    EXPECT_EQ(check(odd, OP_GETATTR, &printed), INJECT_SKIP);
    EXPECT_EQ(printed.out, std::string("errinj_noop triggered on operation 'getattr', ") + odd + "\n");

    // Stacked repetitions would make regcomp's memory grow exponentially.
    use_rules("[errinj_noop]\npath_regexp = a" + std::string(60, '+') + "\nprobability = 100\n");
    EXPECT_EQ(check("/base/aaa", OP_GETATTR, &printed), 0);
    EXPECT_EQ(printed.err.find("regcomp: "), 0u) << printed.err;
    capture([] {
        EXPECT_NE(regex_mismatch("a**", "a"), 0);
        EXPECT_NE(regex_mismatch("x?{2}", "x"), 0);
        EXPECT_EQ(regex_mismatch("[+*]+a{2}b*(c)?", "++aab"), 0);
        EXPECT_EQ(regex_mismatch("\\++", "+"), 0);
        EXPECT_EQ(regex_mismatch("[]*]*x", "]*x"), 0);
    });

    use_rules("[errinj_noop]\npath_regexp = ^(a|aa)*(a*)*b$\nprobability = 100\n");
    const std::string long_path = "/" + std::string(5000, 'a');
    EXPECT_EQ(check(long_path.c_str(), OP_GETATTR), 0);
}

TEST_F(Hook, SlowdownOfMoreThanASecondReallySleeps)
{
    use_rules("[errinj_slowdown]\nprobability = 100\nduration = 1000000001\n");
    captured_output printed;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(check(READ_PATH, OP_FSYNC, &printed), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_NE(printed.out.find("start of 'fsync' slowdown for '1000000001' ns\n"
                               "end of 'fsync' slowdown with '1000000001' ns\n"),
              std::string::npos);
    EXPECT_EQ(printed.err, "");
}

}  // namespace

// Quiet, the filters that depend only on the request are asked before any
// rule draws, and a rule they refuse is passed over; the decisions must be
// those of a check that prints every line, for both kinds of draws.
TEST_F(Hook, QuietChecksDecideAsCheckedOnesDo)
{
    const char *const rules =
        "[errinj_errno.miss_path]\npath_regexp = ^/srv/data/elsewhere/\nprobability = 100\n"
        "[errinj_errno.db]\npath_regexp = /db/[ab]\\.(txt|wal)$\nprobability = 40\n"
        "[errinj_noop.miss_op]\nop_regexp = ^write$\nprobability = 100\n"
        "[errinj_errno.process]\nprocess_regexp = ^nobody$\nprobability = 100\n"
        "[errinj_noop.back]\npath_regexp = (a)\\1|a\\.txt\nprobability = 30\n"
        "[errinj_errno.any]\nprobability = 20\nerrno = EIO, ENOSPC\n";
    const char *const paths[] = {READ_PATH, "/srv/data/db/b.wal", "/srv/data/x", "/srv/data/aa"};
    const fs_op ops[] = {OP_READ, OP_GETATTR, OP_WRITE};
    for (const bool keyed : {false, true}) {
        std::string seen[2];
        for (const bool quiet : {false, true}) {
            mount_state.quiet = quiet;
            mount_state.keyed_draws = keyed;
            mount_state.seed = 3;
            use_rules(rules);
            srand(3);
            for (int round = 0; round < 200; ++round)
                for (const char *path : paths)
                    for (const fs_op op : ops) {
                        captured_output printed;
                        seen[quiet] += std::to_string(check(path, op, &printed)) + " " +
                                       printed.out;
                    }
            seen[quiet] += std::to_string(rand());  // where the sequence stands
        }
        mount_state.keyed_draws = false;
        EXPECT_EQ(seen[0], seen[1]) << (keyed ? "keyed" : "sequence");
    }
}
