// The record of name changes on a real directory: each kind of change made
// and undone, when a sync makes a change durable under each model, a kept
// prefix under persist, and the hidden directory's life.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <set>
#include <string>

#include "support/capture.h"
#include "unsynced/names.h"

namespace {

class Names : public testing::Test {
protected:
    void SetUp() override
    {
        base_fd_ = open(dir_.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        write_file(dir_ / "kept", "kept");
        write_file(dir_ / "other", "other");
        ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0750), 0);
    }
    void TearDown() override
    {
        names_stop();
        close(base_fd_);
    }

    // A change as the operations make one: prepared, made, finished.
    void change(name_change_kind kind, const char *path, const char *target,
                const std::function<int()> &host_call)
    {
        name_change_ticket ticket;
        ASSERT_EQ(names_prepare(kind, path, target, ticket), 0);
        names_finish(ticket, host_call() == 0);
    }

    int at(const char *path) const { return openat(base_fd_, path, O_RDONLY | O_DIRECTORY); }

    // Every name below the base directory but the hidden one, with the
    // content of each file.
    std::set<std::string> listing(const std::string &below = "") const
    {
        std::set<std::string> names;
        DIR *stream = opendir((dir_.path() + "/" + below).c_str());
        while (const dirent *entry = stream ? readdir(stream) : nullptr) {
            const std::string name = entry->d_name;
            if (name == "." || name == ".." || name == NAMES_HIDDEN_DIR)
                continue;
            const std::string path = below.empty() ? name : below + "/" + name;
            if (entry->d_type == DT_DIR) {
                names.insert(path + "/");
                for (const std::string &inner : listing(path))
                    names.insert(inner);
            } else {
                names.insert(path + "=" + read_file(dir_ / path));
            }
        }
        if (stream)
            closedir(stream);
        return names;
    }

    temp_dir dir_;
    int base_fd_ = -1;
};

const auto never = [] { return uint64_t{99}; };

// Each kind of change, undone by a cut, leaves the directory as it was.
TEST_F(Names, EveryKindOfChangeIsUndone)
{
    const int base = base_fd_;
    const struct {
        const char *what;
        name_change_kind kind;
        const char *path, *target;
        std::function<int()> host_call;
    } changes[] = {
        {"create", NAME_CREATE, "new", nullptr,
         [base] { const int fd = openat(base, "new", O_CREAT | O_WRONLY, 0644); return close(fd); }},
        {"mkdir with content", NAME_MKDIR, "dir", nullptr,
         [base] { return mkdirat(base, "dir", 0755) ? -1 : close(openat(base, "dir/in", O_CREAT | O_WRONLY, 0644)); }},
        {"unlink", NAME_UNLINK, "kept", nullptr, [base] { return unlinkat(base, "kept", 0); }},
        {"rmdir", NAME_RMDIR, "sub", nullptr, [base] { return unlinkat(base, "sub", AT_REMOVEDIR); }},
        {"rename over a file", NAME_RENAME, "kept", "other",
         [base] { return renameat(base, "kept", base, "other"); }},
        {"rename to a new name", NAME_RENAME, "kept", "sub/moved",
         [base] { return renameat(base, "kept", base, "sub/moved"); }},
        {"link", NAME_CREATE, "sub/linked", nullptr,
         [base] { return linkat(base, "kept", base, "sub/linked", 0); }},
    };
    for (const auto &c : changes) {
        const std::set<std::string> before = listing();
        ASSERT_EQ(names_start(base_fd_, NAMES_SYNCED), 0) << c.what;
        change(c.kind, c.path, c.target, c.host_call);
        EXPECT_NE(listing(), before) << c.what;
        EXPECT_EQ(names_undo(NAMES_SYNCED, 0, never), 1u) << c.what;
        EXPECT_EQ(listing(), before) << c.what;
        struct stat st;
        ASSERT_EQ(fstatat(base_fd_, "sub", &st, 0), 0);
        EXPECT_EQ(st.st_mode & 07777, 0750u) << c.what << ": a directory comes back with its mode";
        names_stop();
    }
}

// What a sync makes durable: synced, a sync of a directory the change
// touched (and every earlier change of those directories); journal, any
// sync at all; a failed change is never recorded.
TEST_F(Names, SyncsMakeChangesDurableAsTheModelSays)
{
    for (const names_model model : {NAMES_SYNCED, NAMES_JOURNAL}) {
        ASSERT_EQ(names_start(base_fd_, model), 0);
        change(NAME_CREATE, "a", nullptr, [&] { return close(openat(base_fd_, "a", O_CREAT | O_WRONLY, 0644)); });
        change(NAME_CREATE, "sub/b", nullptr, [&] { return close(openat(base_fd_, "sub/b", O_CREAT | O_WRONLY, 0644)); });
        change(NAME_UNLINK, "absent", nullptr, [&] { return unlinkat(base_fd_, "absent", 0); });
        EXPECT_EQ(names_pending(), 2u);
        names_synced(-1);  // an fsync of a file
        EXPECT_EQ(names_pending(), model == NAMES_JOURNAL ? 0u : 2u);
        const int sub = at("sub");
        names_synced(sub);
        close(sub);
        EXPECT_EQ(names_pending(), model == NAMES_JOURNAL ? 0u : 1u) << "sub/b is durable";
        capture([&] { names_undo(model, 0, never); });
        EXPECT_EQ(access((dir_ / "a").c_str(), F_OK), model == NAMES_JOURNAL ? 0 : -1);
        EXPECT_EQ(access((dir_ / "sub/b").c_str(), F_OK), 0);
        unlink((dir_ / "a").c_str());
        unlink((dir_ / "sub/b").c_str());
        names_stop();
    }
}

// persist keeps a prefix: changes oldest first, each kept with its draw,
// until the first that is not; that one and every later one are undone.
TEST_F(Names, PersistKeepsAPrefixInOrder)
{
    ASSERT_EQ(names_start(base_fd_, NAMES_SYNCED), 0);
    for (const char *name : {"1", "2", "3", "4"})
        change(NAME_CREATE, name, nullptr, [&] { return close(openat(base_fd_, name, O_CREAT | O_WRONLY, 0644)); });
    const uint64_t draws[] = {10, 20, 90, 10};  // keep, keep, lose: 3 and 4 go
    std::size_t next = 0;
    EXPECT_EQ(names_undo(NAMES_SYNCED, 50, [&] { return draws[next++]; }), 2u);
    EXPECT_EQ(next, 3u);
    for (const char *name : {"1", "2"})
        EXPECT_EQ(access((dir_ / name).c_str(), F_OK), 0) << name;
    for (const char *name : {"3", "4"})
        EXPECT_EQ(access((dir_ / name).c_str(), F_OK), -1) << name;
}

// A file (or directory) made and removed again while neither change is
// durable cancels out: nothing is kept, nothing undone.
TEST_F(Names, WhatIsMadeAndRemovedBeforeItIsDurableCancelsOut)
{
    ASSERT_EQ(names_start(base_fd_, NAMES_SYNCED), 0);
    change(NAME_CREATE, "tmp", nullptr, [&] { return close(openat(base_fd_, "tmp", O_CREAT | O_WRONLY, 0644)); });
    change(NAME_MKDIR, "d", nullptr, [&] { return mkdirat(base_fd_, "d", 0755); });
    change(NAME_UNLINK, "tmp", nullptr, [&] { return unlinkat(base_fd_, "tmp", 0); });
    change(NAME_RMDIR, "d", nullptr, [&] { return unlinkat(base_fd_, "d", AT_REMOVEDIR); });
    EXPECT_EQ(names_pending(), 0u);
    const std::string hidden = dir_ / NAMES_HIDDEN_DIR;
    EXPECT_EQ(std::system(("test $(ls -A '" + hidden + "' | wc -l) = 1").c_str()), 0)
        << "only the owner's mark";
    EXPECT_EQ(names_undo(NAMES_SYNCED, 0, never), 0u);
}

// The hidden directory is there only while names are recorded, is hidden,
// and a leftover of a killed daemon goes; someone else's is never touched.
TEST_F(Names, TheHiddenDirectoryComesAndGoes)
{
    ASSERT_EQ(names_start(base_fd_, NAMES_SYNCED), 0);
    EXPECT_TRUE(names_hidden(NAMES_HIDDEN_DIR));
    EXPECT_TRUE(names_hidden((std::string(NAMES_HIDDEN_DIR) + "/1").c_str()));
    EXPECT_FALSE(names_hidden((std::string(NAMES_HIDDEN_DIR) + "x").c_str()));
    change(NAME_UNLINK, "kept", nullptr, [&] { return unlinkat(base_fd_, "kept", 0); });
    names_stop();
    EXPECT_FALSE(names_hidden(NAMES_HIDDEN_DIR));
    EXPECT_EQ(access((dir_ / NAMES_HIDDEN_DIR).c_str(), F_OK), -1);

    ASSERT_EQ(names_start(base_fd_, NAMES_SYNCED), 0);
    EXPECT_EQ(names_clear_leftover(base_fd_), 0);  // as at the next start
    EXPECT_EQ(access((dir_ / NAMES_HIDDEN_DIR).c_str(), F_OK), -1);
    names_stop();
    ASSERT_EQ(mkdir((dir_ / NAMES_HIDDEN_DIR).c_str(), 0755), 0);
    EXPECT_EQ(names_clear_leftover(base_fd_), -EEXIST);
    EXPECT_NE(names_start(base_fd_, NAMES_SYNCED), 0);
    name_change_ticket ticket;
    EXPECT_NE(names_prepare(NAME_CREATE, "new", nullptr, ticket), 0) << "never unrecorded";
    names_stop();
    EXPECT_EQ(access((dir_ / NAMES_HIDDEN_DIR).c_str(), F_OK), 0) << "someone else's stays";
}

}  // namespace
