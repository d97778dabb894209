// The rule language past one rule per kind: named rules, errno lists, exact
// hits with after and count, process and uid filters, and quiet checks that
// keep every draw and result of loud ones.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "support/hook_fixture.h"

namespace {

// A child process that has renamed itself, for the process filter to see.
class named_process {
public:
    explicit named_process(const char *name)
    {
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_NAME, name);
            pause();
            _exit(0);
        }
        // Its name is set once /proc shows it.
        for (int i = 0; i < 1000 && read_file("/proc/" + std::to_string(pid_) + "/comm") !=
                                        std::string(name) + "\n";
             ++i)
            usleep(1000);
    }
    ~named_process()
    {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    int pid() const { return pid_; }

private:
    pid_t pid_;
};

TEST_F(Hook, NamedRulesReportTheirFullNames)
{
    use_rules("[errinj_errno.wal]\nop_regexp = ^write$\nprobability = 100\nerrno = ENOSPC\n"
              "[errinj_noop.db]\npath_regexp = ^/elsewhere/\nprobability = 100\n");
    captured_output printed;
    EXPECT_EQ(check("/srv/data/wal/1", OP_WRITE, &printed), -ENOSPC);
    EXPECT_EQ(printed.out, "errinj_errno.wal triggered on operation 'write', /srv/data/wal/1\n"
                           "errno '" + std::string(strerror(ENOSPC)) + "'\n");
    EXPECT_NE(printed.err.find("errinj 'errinj_noop.db' skipped: path_regexp (^/elsewhere/) is "
                               "not matched\n"),
              std::string::npos)
        << printed.err;
}

// Each value fires exactly where the one draw says: whole numbers as they
// always have (d = draw % 101, fires when d <= p, 0 never), decimals on a
// scale of millionths of the same draw; and over many checks at the odds
// they name.
TEST_F(Hook, ProbabilitiesDrawAsTheyAreWritten)
{
    const struct {
        const char *written;
        std::function<bool(int)> fires;  // given the draw
        double odds;
    } cases[] = {
        {"0", [](int) { return false; }, 0.0},
        {"1", [](int d) { return d % 101 <= 1; }, 2.0 / 101},
        {"50", [](int d) { return d % 101 <= 50; }, 51.0 / 101},
        {"100", [](int) { return true; }, 1.0},
        {"0.1", [](int d) { return d % 1000000 < 1000; }, 0.001},
        {"2.5", [](int d) { return d % 1000000 < 25000; }, 0.025},
        {"50.0", [](int d) { return d % 1000000 < 500000; }, 0.5},
    };
    constexpr int CHECKS = 20000;
    mount_state.quiet = true;
    for (const auto &c : cases) {
        use_rules(std::string("[errinj_noop]\nprobability = ") + c.written + "\n");
        srand(7);
        std::vector<int> draws(CHECKS);
        for (int &draw : draws)
            draw = rand();
        srand(7);
        int fired = 0, mismatches = 0;
        capture([&] {
            for (int i = 0; i < CHECKS; ++i) {
                const bool fires = injection_check(READ_PATH, OP_GETATTR) == INJECT_SKIP;
                mismatches += fires != c.fires(draws[static_cast<std::size_t>(i)]);
                fired += fires;
            }
        });
        EXPECT_EQ(mismatches, 0) << c.written;
        EXPECT_NEAR(fired / double(CHECKS), c.odds, 0.01) << c.written;
    }
}

// One draw for the probability, one for the pick, from the rule's list in
// the order written; a name written twice is drawn twice as often.
TEST_F(Hook, ErrnoListIsDrawnFromAsTheOperationsListWouldBe)
{
    use_rules("[errinj_errno]\nprobability = 100\nerrno = EIO EIO,ENOSPC\n");
    const int list[] = {EIO, EIO, ENOSPC};
    srand(31);
    std::vector<int32_t> expected;
    for (int i = 0; i < 300; ++i) {
        rand();
        expected.push_back(-list[rand() % 3]);
    }
    srand(31);
    std::map<int32_t, int> tally;
    for (int i = 0; i < 300; ++i) {
        const int32_t result = check(READ_PATH, i % 2 ? OP_FSYNC : OP_GETATTR);
        ASSERT_EQ(result, expected[static_cast<std::size_t>(i)]) << i;
        ++tally[result];
    }
    EXPECT_GT(tally[-EIO], tally[-ENOSPC]);

    // lock never gets EINTR (it would reach the caller as 512): it draws
    // from the rest, or from its own list when nothing is left.
    use_rules("[errinj_errno]\nprobability = 100\nerrno = EINTR\n");
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(check(READ_PATH, OP_READ), -EINTR);
        const int32_t on_lock = check(READ_PATH, OP_LOCK);
        EXPECT_NE(on_lock, -EINTR);
        EXPECT_LT(on_lock, 0);
    }
}

// probability 100, ^write$, after 2, count 1: the third write fails, and no
// other, whatever the seed; a reload starts the counts afresh.
TEST_F(Hook, AfterAndCountFailExactlyTheThirdWrite)
{
    const std::string rules =
        "[errinj_errno]\nop_regexp = ^write$\nprobability = 100\nafter = 2\ncount = 1\n";
    for (unsigned seed : {1u, 2u, 77u, 4096u}) {
        use_rules(rules);
        srand(seed);
        std::vector<bool> failed;
        for (int i = 0; i < 12; ++i) {
            check(READ_PATH, OP_GETATTR);
            failed.push_back(check(READ_PATH, OP_WRITE) < 0);
        }
        EXPECT_EQ(failed, std::vector<bool>({false, false, true, false, false, false, false, false,
                                             false, false, false, false}))
            << seed;
    }

    use_rules(rules);
    captured_output printed;
    check(READ_PATH, OP_WRITE, &printed);
    EXPECT_EQ(printed.err, "errinj 'errinj_errno' skipped: after (2) is not reached\n");
    check(READ_PATH, OP_WRITE);
    EXPECT_LT(check(READ_PATH, OP_WRITE), 0);
    check(READ_PATH, OP_WRITE, &printed);
    EXPECT_EQ(printed.err, "errinj 'errinj_errno' skipped: count (1) is reached\n");
    // A miss of the operation filter is no hit.
    check(READ_PATH, OP_READ, &printed);
    EXPECT_NE(printed.err.find("op_regexp (^write$) is not matched"), std::string::npos);
    const injection_rule &rule = mount_state.rules->rules[0];
    EXPECT_EQ(rule.visits, 5u);
    EXPECT_EQ(rule.hits, 4u);
    EXPECT_EQ(rule.fires, 1u);
}

TEST_F(Hook, ProcessAndUidFiltersAimAtTheRequester)
{
    use_rules("[errinj_noop]\nprobability = 100\nprocess_regexp = ^postgres$\nuid = 70\n");
    const named_process database("postgres");
    const named_process harness("pytest");

    fake_requester = database.pid();
    fake_requester_uid = 70;
    EXPECT_EQ(check(READ_PATH, OP_READ), INJECT_SKIP);

    captured_output printed;
    fake_requester = harness.pid();
    errno = 0;
    EXPECT_EQ(check(READ_PATH, OP_READ, &printed), 0);
    EXPECT_EQ(printed.err, std::string("regexec: ") + strerror(0) +
                               "\nerrinj 'errinj_noop' skipped: process_regexp (^postgres$) is "
                               "not matched\n");

    fake_requester = database.pid();
    fake_requester_uid = 0;
    EXPECT_EQ(check(READ_PATH, OP_READ, &printed), 0);
    EXPECT_EQ(printed.err, "errinj 'errinj_noop' skipped: uid (70) is not matched\n");

    // No requester (release, libfuse's own clean-ups) passes neither filter.
    use_rules("[errinj_noop]\nprobability = 100\nuid = 0\n");
    fake_requester = 0;
    EXPECT_EQ(check(READ_PATH, OP_RELEASE, &printed), 0);
    EXPECT_EQ(printed.err, "errinj 'errinj_noop' skipped: uid (0) is not matched\n");
}

// -quiet drops the standard-error lines and nothing else: the same seed
// gives the same results, trigger lines and position in the sequence.
TEST_F(Hook, QuietChecksKeepEveryDrawAndResult)
{
    const std::string rules =
        "[errinj_errno.a]\nprobability = 30\nop_regexp = ^(read|write)$\nerrno = EIO ENOSPC\n"
        "[errinj_noop.b]\nprobability = 20\npath_regexp = ^/srv/data/db/\n"
        "[errinj_errno.c]\nprobability = 50\npath_regexp = (unclosed\n"
        "[errinj_noop.d]\nprobability = 100\nop_regexp = ^getattr$\nafter = 3\ncount = 5\n";
    const char *const paths[] = {READ_PATH, "/srv/data/wal/1"};
    auto run = [&](int quiet, std::string *err) {
        mount_state.quiet = quiet;
        use_rules(rules);
        srand(5);
        std::string seen;
        for (int i = 0; i < 400; ++i) {
            captured_output printed;
            seen += std::to_string(check(paths[i % 2], static_cast<fs_op>(i % FS_OP_COUNT),
                                         &printed)) +
                    printed.out;
            *err += printed.err;
        }
        return seen + std::to_string(rand());
    };
    std::string loud_err, quiet_err;
    EXPECT_EQ(run(0, &loud_err), run(1, &quiet_err));
    EXPECT_FALSE(loud_err.empty());
    EXPECT_EQ(quiet_err, "");

    // The pattern that cannot compile is said once, at the load, with its rule.
    mount_state.quiet = 1;
    write_file(mount_state.config_path, rules);
    const captured_output loaded = capture([] {
        mount_state.rules = rule_set_load(mount_state.config_path.c_str(), true);
    });
    EXPECT_EQ(loaded.err.find("errinj 'errinj_errno.c' path_regexp ((unclosed) does not compile: "),
              0u)
        << loaded.err;
    EXPECT_EQ(lines_starting(loaded.err, "errinj").size(), 1u);
}

// The literal prefix answers only what regexec would have answered.
TEST(Pattern, PrefixShortcutAgreesWithTheRegexEngine)
{
    EXPECT_EQ(required_prefix("^/srv/db/"), "/srv/db/");
    EXPECT_EQ(required_prefix("^/srv/dbx*"), "/srv/db");
    EXPECT_EQ(required_prefix("^/a|^/b"), "");
    EXPECT_EQ(required_prefix("/srv"), "");
    const char *const patterns[] = {"^/srv/DB/", "^/srv/db/a?", "^/srv/(db|wal)/", "^/srv/d.b",
                                    "^/srv/db{2}", "^/srv\\.x", "^$", "^/srv/db/[a-c]+$"};
    const char *const texts[] = {"/srv/db/a", "/SRV/db/", "/srv/wal/1", "/srv/dbb", "/srv/d", "",
                                 "/srv/db/abc", "/srv.x", "x/srv/db/"};
    for (const char *pattern : patterns) {
        regex_t plain;
        ASSERT_EQ(regcomp(&plain, pattern, REG_EXTENDED | REG_ICASE | REG_NOSUB), 0);
        const compiled_pattern compiled(pattern);
        for (const char *text : texts) {
            const char *failed_call = nullptr;
            EXPECT_EQ(compiled.mismatch(text, &failed_call) == 0,
                      regexec(&plain, text, 0, nullptr, 0) == 0)
                << pattern << " on " << text;
        }
        regfree(&plain);
    }
}

}  // namespace
