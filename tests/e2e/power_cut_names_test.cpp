// Power cuts that lose names: a seeded exerciser of creates, unlinks,
// renames over files, mkdir, rmdir, links and syncs checked after each cut
// against a model of what was durable; renamers racing a cut; a failed
// write-back; a cut that takes down every process using the mount.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "mounted.h"
#include "synced_model.h"
#include "unsynced/names.h"

namespace {

// hard_remove: a file unlinked while libfuse still counts it open (its
// release comes after close returns) is removed, not renamed to a
// .fuse_hidden name, so that the names the exerciser sees are its own.
const std::vector<std::string> SERIAL = {
    "-s", "-o", "attr_timeout=0,entry_timeout=0,negative_timeout=0,hard_remove", "-o",
    "direct_io", "-quiet"};

std::string cut_rule(const std::string &names, int persist, const std::string &more = "")
{
    return "[errinj_power_cut]\nop_regexp = ^mkdir$\npath_regexp = /cut$\nprobability = 100\n"
           "names = " + names + "\npersist = " + std::to_string(persist) + "\n" + more;
}

void cut_and_power_on(mounted &fs)
{
    const std::string cut = fs.at("cut");
    const int status = in_child([&] { return mkdir(cut.c_str(), 0755) == 0 ? 0 : 1; });
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    struct stat st;
    ASSERT_EQ(stat(fs.at("tavrin.conf").c_str(), &st), 0);
}

// The model: names (a path to the inode it names, or to A_DIRECTORY), each inode's
// synced and newest content, and the name changes not yet durable with what
// undoes each and the directories it changed.
constexpr int A_DIRECTORY = -1;

struct model_change {
    std::vector<std::string> dirs;
    std::string what;
    std::function<void(std::map<std::string, int> &)> undo;
};

struct namespace_model {
    std::map<std::string, int> names;
    std::map<int, std::pair<std::string, std::string>> data;  // synced, newest
    std::vector<model_change> pending;
    std::map<int, ino_t> real;  // the base directory's inode number of each
    int next_inode = 1;
    // A directory made again is another directory: a sync of the new one
    // makes nothing of the old one durable.
    std::map<std::string, int> made;

    std::string dir_id(const std::string &dir) { return dir + "#" + std::to_string(made[dir]); }

    // As a sync of dirs makes changes durable: those that touched one, and
    // every earlier change that shares a directory with one made durable.
    void synced(const std::vector<std::string> &dirs, bool journal)
    {
        if (journal) {
            pending.clear();
            return;
        }
        std::vector<std::string> forced = dirs;
        std::vector<model_change> still;
        for (std::size_t i = pending.size(); i-- > 0;) {
            bool durable = false;
            for (const std::string &dir : pending[i].dirs)
                durable = durable || std::count(forced.begin(), forced.end(), dir) > 0;
            if (durable)
                forced.insert(forced.end(), pending[i].dirs.begin(), pending[i].dirs.end());
            else
                still.insert(still.begin(), pending[i]);
        }
        pending = still;
    }

    // The names left when the pending changes after the first kept ones are
    // undone, newest first.
    std::map<std::string, int> after_cut(std::size_t kept) const
    {
        std::map<std::string, int> left = names;
        for (std::size_t i = pending.size(); i-- > kept;)
            pending[i].undo(left);
        return left;
    }
};

std::string parent(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Every name below dir but the hidden one and the rule file.
void list(const std::string &root, const std::string &below, std::map<std::string, ino_t> &seen)
{
    DIR *stream = opendir((root + "/" + below).c_str());
    while (const dirent *entry = stream ? readdir(stream) : nullptr) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name == NAMES_HIDDEN_DIR || name == "tavrin.conf")
            continue;
        const std::string path = below.empty() ? name : below + "/" + name;
        struct stat st;
        lstat((root + "/" + path).c_str(), &st);
        seen[path] = S_ISDIR(st.st_mode) ? 0 : st.st_ino;
        if (S_ISDIR(st.st_mode))
            list(root, path, seen);
    }
    if (stream)
        closedir(stream);
}

// The names as the base directory holds them match the model's after a
// cut that kept some prefix of its pending changes: which one, or -1.
int kept_prefix(const namespace_model &model, const std::map<std::string, ino_t> &seen)
{
    for (std::size_t kept = 0; kept <= model.pending.size(); ++kept) {
        const std::map<std::string, int> left = model.after_cut(kept);
        bool same = left.size() == seen.size();
        for (auto at = left.begin(); same && at != left.end(); ++at) {
            const auto found = seen.find(at->first);
            same = found != seen.end() &&
                   found->second == (at->second == A_DIRECTORY ? 0 : model.real.at(at->second));
        }
        if (same)
            return static_cast<int>(kept);
    }
    return -1;
}

// Runs a seeded workload of name changes, writes and syncs with a cut after
// each few steps, and checks each cut against the model.
void exercise_names(const std::string &names, int persist, unsigned seed, int cycles)
{
    mounted fs(mount_settings{SERIAL, cut_rule(names, persist), seed, {}});
    const bool journal = names == "journal";
    std::mt19937 random(seed);
    namespace_model model;
    const std::vector<std::string> dirs = {"d0", "d1"};
    const std::vector<std::string> leaves = {"a", "b", "c", "d0/a", "d0/b", "d1/a"};
    auto files = [&] {
        std::vector<std::string> found;
        for (const auto &[path, inode] : model.names)
            if (inode != A_DIRECTORY)
                found.push_back(path);
        return found;
    };
    for (int cycle = 0; cycle < cycles && !testing::Test::HasFailure(); ++cycle) {
        const int steps = 1 + static_cast<int>(random() % 10);
        for (int step = 0; step < steps; ++step) {
            const std::vector<std::string> existing = files();
            const std::string leaf = leaves[random() % leaves.size()];
            const std::string dir = dirs[random() % dirs.size()];
            const bool leaf_free = model.names.count(leaf) == 0 &&
                                   (parent(leaf) == "." || model.names.count(parent(leaf)));
            const std::string some = existing.empty() ? "" : existing[random() % existing.size()];
            switch (random() % 9) {
            case 0:  // create, with content
                if (!leaf_free)
                    break;
                {
                    const std::string content(1 + random() % 3000, static_cast<char>('a' + random() % 26));
                    write_file(fs.at(leaf), content);
                    const int inode = model.next_inode++;
                    model.names[leaf] = inode;
                    model.data[inode] = {"", content};
                    struct stat st;
                    ASSERT_EQ(stat(fs.base(leaf).c_str(), &st), 0);
                    model.real[inode] = st.st_ino;
                    model.pending.push_back({{model.dir_id(parent(leaf))}, "create " + leaf, [leaf](auto &n) { n.erase(leaf); }});
                }
                break;
            case 1:  // a write of a file that is there
                if (!some.empty()) {
                    const std::string content(1 + random() % 3000, static_cast<char>('A' + random() % 26));
                    write_file(fs.at(some), content);
                    model.data[model.names[some]].second = content;
                }
                break;
            case 2:  // unlink
                if (!some.empty()) {
                    ASSERT_EQ(unlink(fs.at(some).c_str()), 0) << some;
                    const int inode = model.names[some];
                    model.names.erase(some);
                    model.pending.push_back({{model.dir_id(parent(some))}, "unlink " + some, [some, inode](auto &n) { n[some] = inode; }});
                }
                break;
            case 3:  // rename, over a file or to a new name
                if (!some.empty()) {
                    const std::string to = random() % 2 && existing.size() > 1
                                               ? existing[random() % existing.size()]
                                               : leaf;
                    // Two names of one file: rename would do nothing at all.
                    if (to == some || (to == leaf && !leaf_free) ||
                        (model.names.count(to) && model.names[to] == model.names[some]))
                        break;
                    ASSERT_EQ(rename(fs.at(some).c_str(), fs.at(to).c_str()), 0) << some << " " << to;
                    const int moved = model.names[some];
                    const auto replaced = model.names.find(to);
                    const int over = replaced == model.names.end() ? 0 : replaced->second;
                    model.names.erase(some);
                    model.names[to] = moved;
                    model.pending.push_back({{model.dir_id(parent(some)), model.dir_id(parent(to))}, "rename " + some + " " + to, [some, to, moved, over](auto &n) {
                                                 n[some] = moved;
                                                 if (over != 0)
                                                     n[to] = over;
                                                 else
                                                     n.erase(to);
                                             }});
                }
                break;
            case 4:  // link
                if (!some.empty() && leaf_free) {
                    ASSERT_EQ(link(fs.at(some).c_str(), fs.at(leaf).c_str()), 0);
                    model.names[leaf] = model.names[some];
                    model.pending.push_back({{model.dir_id(parent(leaf))}, "link " + some + " " + leaf, [leaf](auto &n) { n.erase(leaf); }});
                }
                break;
            case 5:  // mkdir, or rmdir of an empty one
                if (model.names.count(dir) == 0) {
                    ASSERT_EQ(mkdir(fs.at(dir).c_str(), 0755), 0);
                    model.names[dir] = A_DIRECTORY;
                    ++model.made[dir];
                    model.pending.push_back({{model.dir_id(".")}, "mkdir " + dir, [dir](auto &n) {
                                                 for (auto at = n.begin(); at != n.end();)
                                                     at = at->first == dir || at->first.rfind(dir + "/", 0) == 0 ? n.erase(at) : std::next(at);
                                             }});
                } else if (std::none_of(model.names.begin(), model.names.end(),
                                        [&](const auto &entry) { return entry.first.rfind(dir + "/", 0) == 0; })) {
                    ASSERT_EQ(rmdir(fs.at(dir).c_str()), 0);
                    model.names.erase(dir);
                    model.pending.push_back({{model.dir_id(".")}, "rmdir " + dir, [dir](auto &n) { n[dir] = A_DIRECTORY; }});
                }
                break;
            case 6:  // fsync of a file: its data, and under journal every name
                if (!some.empty()) {
                    const int fd = open(fs.at(some).c_str(), O_RDONLY);
                    ASSERT_EQ(fsync(fd), 0);
                    close(fd);
                    auto &content = model.data[model.names[some]];
                    content.first = content.second;
                    model.synced({}, journal);
                }
                break;
            case 7:  // fsync of a directory
            case 8: {
                const std::string synced = random() % 2 ? "." : dir;
                if (synced != "." && model.names.count(synced) == 0)
                    break;
                const int fd = open(fs.at(synced == "." ? "" : synced).c_str(), O_RDONLY | O_DIRECTORY);
                ASSERT_EQ(fsync(fd), 0);
                close(fd);
                model.synced({model.dir_id(synced)}, journal);
                break;
            }
            }
        }
        cut_and_power_on(fs);
        std::map<std::string, ino_t> seen;
        list(fs.base(), "", seen);
        const int kept = kept_prefix(model, seen);
        if (kept < 0) {
            std::string found, expected;
            for (const auto &[path, inode] : seen)
                found += " " + path + "#" + std::to_string(inode);
            for (const auto &[path, inode] : model.after_cut(0))
                expected += " " + path + "#" +
                            std::to_string(inode == A_DIRECTORY ? 0 : model.real.at(inode));
            std::string changes;
            for (const model_change &change : model.pending)
                changes += " [" + change.what + "]";
            const std::string out = fs.out();
            FAIL() << "names after cut " << cycle << " match no durable state: found" << found
                   << "; pending:" << changes << "; tavrin said: " << out.substr(out.size() > 600 ? out.size() - 600 : 0) << fs.err().substr(0, 300)
                   << "; with every pending change undone:" << expected << " ("
                   << model.pending.size() << " pending)";
        }
        if (persist == 0) {
            EXPECT_EQ(kept, 0) << "cut " << cycle;
        }
        model.names = model.after_cut(static_cast<std::size_t>(kept));
        model.pending.clear();
        for (const auto &[path, inode] : model.names) {
            if (inode == A_DIRECTORY)
                continue;
            const std::string now = read_file(fs.base(path));
            auto &[synced, newest] = model.data[inode];
            if (persist == 0)
                EXPECT_EQ(now, synced) << path << " after cut " << cycle;
            else
                EXPECT_TRUE(survived_as_allowed({-1, synced, newest}, now))
                    << path << " after cut " << cycle;
            synced = newest = now;
        }
    }
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
    EXPECT_EQ(access(fs.base(NAMES_HIDDEN_DIR).c_str(), F_OK), -1) << "left behind";
}

int cycles(int fallback)
{
    const char *value = getenv("TAVRIN_POWER_CYCLES");
    return value != nullptr ? std::max(1, atoi(value) / 2) : fallback;
}

TEST(PowerCutNames, EveryCutLeavesTheDurableNames)
{
    for (const char *names : {"synced", "journal"}) {
        SCOPED_TRACE(names);
        exercise_names(names, 0, 21, cycles(500));
        exercise_names(names, 50, 22, cycles(250));
    }
}

// The hidden directory of what removals took is no part of the mirror.
TEST(PowerCutNames, WhatACutKeepsIsNeverVisible)
{
    mounted fs(mount_settings{SERIAL, cut_rule("synced", 0), 1, {}});
    write_file(fs.at("f"), "x");
    ASSERT_EQ(unlink(fs.at("f").c_str()), 0);
    EXPECT_EQ(access(fs.base(NAMES_HIDDEN_DIR).c_str(), F_OK), 0);
    struct stat st;
    EXPECT_EQ(stat(fs.at(NAMES_HIDDEN_DIR).c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(mkdir(fs.at(std::string(NAMES_HIDDEN_DIR) + "/x").c_str(), 0755), -1);
    std::map<std::string, ino_t> listed;
    list(fs.mount(), "", listed);
    DIR *root = opendir(fs.mount().c_str());
    while (const dirent *entry = readdir(root))
        EXPECT_STRNE(entry->d_name, NAMES_HIDDEN_DIR);
    closedir(root);
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
    EXPECT_EQ(access(fs.base(NAMES_HIDDEN_DIR).c_str(), F_OK), -1);
}

// Renamers racing a cut: each file is afterwards under exactly one of its
// names, with its durable content.
TEST(PowerCutNames, RenamersRacingACutLeaveEveryFileUnderOneName)
{
    mounted fs(mount_settings{{"-o", "attr_timeout=0,entry_timeout=0,negative_timeout=0,direct_io",
                               "-quiet"},
                              cut_rule("synced", 0), 1, {}});
    constexpr int RENAMERS = 4;
    for (int r = 0; r < RENAMERS; ++r)
        write_file(fs.base("r" + std::to_string(r) + "-0"), "file " + std::to_string(r));
    std::vector<std::thread> renamers;
    for (int r = 0; r < RENAMERS; ++r)
        renamers.emplace_back([&, r] {
            const std::string stem = fs.at("r" + std::to_string(r) + "-");
            for (int i = 0; i < 100000; ++i)
                if (rename((stem + std::to_string(i % 2)).c_str(), (stem + std::to_string((i + 1) % 2)).c_str()) != 0)
                    break;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string cut = fs.at("cut");
    const int status = in_child([&] { return mkdir(cut.c_str(), 0755) == 0 ? 0 : 1; });
    EXPECT_TRUE(WIFSIGNALED(status)) << status;
    for (std::thread &renamer : renamers)
        renamer.join();
    for (int r = 0; r < RENAMERS; ++r) {
        const std::string stem = fs.base("r" + std::to_string(r) + "-");
        const bool first = access((stem + "0").c_str(), F_OK) == 0;
        EXPECT_TRUE(first) << "never synced, so the file is back at its first name";
        EXPECT_EQ(access((stem + "1").c_str(), F_OK), -1) << r;
        EXPECT_EQ(read_file(stem + "0"), "file " + std::to_string(r));
    }
    struct stat st;
    ASSERT_EQ(stat(fs.at("tavrin.conf").c_str(), &st), 0);
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

// A failed write-back: the sync fails with its errno, the file is back at
// what it held, the next sync succeeds, and the mount stays up.
TEST(Writeback, AFailedSyncLosesTheDataAndTheNextOneSucceeds)
{
    mounted fs(mount_settings{{"-o", "attr_timeout=0,entry_timeout=0,direct_io"},
                              "[errinj_writeback]\nop_regexp = ^fsync$\nprobability = 100\n"
                              "errno = ENOSPC\ncount = 1\n",
                              1,
                              {}});
    write_file(fs.base("f"), "old content");
    const int fd = open(fs.at("f").c_str(), O_RDWR);
    ASSERT_EQ(pwrite(fd, "NEW", 3, 0), 3);
    EXPECT_EQ(fsync(fd), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(read_file(fs.base("f")), "old content");
    EXPECT_EQ(fsync(fd), 0) << "nothing is left to write";
    close(fd);
    EXPECT_EQ(read_file(fs.at("f")), "old content");
    EXPECT_NE(fs.out().find("writeback failed: 11 bytes lost, 0 bytes kept\n"), std::string::npos)
        << fs.out();
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

// kill = mount: a process holding a file open on the mount dies with the
// requester; one that holds nothing there lives; the root still answers.
TEST(PowerCutNames, KillMountTakesDownEveryUserOfTheMount)
{
    mounted fs(mount_settings{{"-o", "attr_timeout=0,entry_timeout=0"},
                              cut_rule("durable", 0, "kill = mount\n"), 1, {}});
    write_file(fs.base("held"), "x");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const std::string held = fs.at("held");
    fflush(nullptr);
    auto sleeper = [&](bool holding) {
        const pid_t child = fork();
        if (child == 0) {
            const int fd = holding ? open(held.c_str(), O_RDONLY) : 0;
            if (write(ready[1], fd == -1 ? "n" : "y", 1) != 1)
                _exit(1);
            pause();
            _exit(0);
        }
        char byte = 0;
        EXPECT_EQ(read(ready[0], &byte, 1), 1);
        EXPECT_EQ(byte, 'y');
        return child;
    };
    const pid_t holder = sleeper(true), bystander = sleeper(false);
    const std::string cut = fs.at("cut");
    const int status = in_child([&] { return mkdir(cut.c_str(), 0755) == 0 ? 0 : 1; });
    EXPECT_TRUE(WIFSIGNALED(status)) << status;
    const int held_status = reap(holder, std::chrono::milliseconds(5000));
    EXPECT_TRUE(WIFSIGNALED(held_status) && WTERMSIG(held_status) == SIGKILL) << held_status;
    EXPECT_EQ(waitpid(bystander, nullptr, WNOHANG), 0) << "the bystander was killed";
    kill(bystander, SIGKILL);
    reap(bystander, std::chrono::milliseconds(5000));
    EXPECT_NE(fs.out().find("power cut: 1 processes killed\n"), std::string::npos) << fs.out();
    struct stat st;
    EXPECT_EQ(stat(fs.mount().c_str(), &st), 0) << "the root answers while the power is off";
    EXPECT_EQ(stat(fs.at("held").c_str(), &st), -1);
    close(ready[0]);
    close(ready[1]);
    ASSERT_EQ(stat(fs.at("tavrin.conf").c_str(), &st), 0);
    EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
}

}  // namespace
