// The fixture of the hook's unit tests: a rule file in a temporary
// directory, checks with what they print captured, and a test of how many
// values a check took from rand().
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "injection/hook.h"
#include "support/capture.h"
#include "support/fake_requester.h"

inline const char READ_PATH[] = "/srv/data/db/a.txt";

class Hook : public testing::Test {
protected:
    void SetUp() override
    {
        mount_state.config_path = dir_ / "tavrin.conf";
        fake_requester = 0;
        fake_requester_uid = 0;
        mount_state.quiet = 0;
    }
    void TearDown() override
    {
        rule_set_free(std::move(mount_state.rules));
        mount_state.quiet = 0;
    }

    // Installs the rules of a rule file's text, discarding the load's lines.
    void use_rules(const std::string &text)
    {
        write_file(mount_state.config_path, text);
        capture([] {
            mount_state.rules =
                rule_set_load(mount_state.config_path.c_str(), mount_state.quiet != 0);
        });
        ASSERT_TRUE(mount_state.rules);
    }

    int32_t check(const char *path, fs_op op, captured_output *printed = nullptr)
    {
        int32_t result = 0;
        const captured_output seen = capture([&] { result = injection_check(path, op); });
        if (printed)
            *printed = seen;
        return result;
    }

    temp_dir dir_;
};

// Whether exactly `draws` values were taken from rand() since srand(seed).
inline bool drew(unsigned seed, int draws)
{
    const int next = rand();
    srand(seed);
    for (int i = 0; i < draws; ++i)
        rand();
    return rand() == next;
}

