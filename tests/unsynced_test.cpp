// The record of unsynced changes on real files: what a cut brings back,
// blocks that straddle the synced size, truncates both ways, renamed and
// unlinked files, syncs between writes, persisted blocks and the spill.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/capture.h"
#include "unsynced/record.h"

namespace {

class Unsynced : public testing::Test {
protected:
    void SetUp() override
    {
        unsynced_stop();
        unsynced_start(4096);
        unsynced_set_memory_bound(UNSYNCED_MEMORY_BOUND);
    }
    void TearDown() override
    {
        unsynced_stop();
        unsynced_power_on();
    }

    // A write as the operations make it: saved first, then the host call.
    static void write_at(int fd, const std::string &data, uint64_t offset)
    {
        const unsynced_change_guard guard;
        ASSERT_FALSE(guard.powered_off());
        ASSERT_EQ(unsynced_before_write(fd, offset, data.size()), 0);
        ASSERT_EQ(pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)),
                  static_cast<ssize_t>(data.size()));
    }
    static void resize(int fd, uint64_t size)
    {
        const unsynced_change_guard guard;
        ASSERT_EQ(unsynced_before_resize(fd, size), 0);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
    }
    static void sync(int fd)
    {
        const unsynced_change_guard guard;
        ASSERT_EQ(fsync(fd), 0);
        unsynced_synced(fd);
    }
    static unsynced_cut_result cut(uint32_t persist = 0, uint32_t block = 4096)
    {
        unsigned next = 0;
        unsynced_cut_result result;
        capture([&] { result = unsynced_cut(block, persist, NAMES_DURABLE, [&] { return uint64_t{next++ * 37}; }); });
        unsynced_power_on();
        return result;
    }
    int open_file(const std::string &name, const std::string &content)
    {
        write_file(dir_ / name, content);
        return open((dir_ / name).c_str(), O_RDWR);
    }

    temp_dir dir_;
};

TEST_F(Unsynced, CutBringsBackTheSyncedContentAndSize)
{
    const std::string synced = std::string(5000, 'a');
    const int fd = open_file("f", synced);
    write_at(fd, std::string(3000, 'b'), 3000);  // straddles block 0/1 and the end
    write_at(fd, "tail", 9000);                   // extends past a hole
    const unsynced_cut_result result = cut();
    EXPECT_EQ(result.files, 1u);
    EXPECT_GT(result.lost, 0u);
    EXPECT_EQ(read_file(dir_ / "f"), synced);
    close(fd);
}

TEST_F(Unsynced, TruncatesBothWaysComeBack)
{
    const std::string synced = std::string(10000, 'x') + std::string(3000, 'y');
    int fd = open_file("f", synced);
    resize(fd, 100);    // below the synced size: the cut-off blocks are saved
    write_at(fd, "zz", 50);
    resize(fd, 20000);  // above it: only the end moves
    cut();
    EXPECT_EQ(read_file(dir_ / "f"), synced);
    close(fd);
}

TEST_F(Unsynced, SyncBetweenWritesKeepsTheFirst)
{
    const int fd = open_file("f", "");
    write_at(fd, "first", 0);
    sync(fd);
    EXPECT_EQ(unsynced_files(), 0u);  // a synced file is forgotten at once
    write_at(fd, "SECOND", 0);
    write_at(fd, "more", 100);
    cut();
    EXPECT_EQ(read_file(dir_ / "f"), "first");
    close(fd);
}

// A file is the same file under another name, and even with none.
TEST_F(Unsynced, RenamedAndUnlinkedFilesAreStillTheirFiles)
{
    const int fd = open_file("f", "old");
    write_at(fd, "new!", 0);
    ASSERT_EQ(rename((dir_ / "f").c_str(), (dir_ / "g").c_str()), 0);
    const int other = open((dir_ / "g").c_str(), O_RDWR);
    write_at(other, "x", 10);  // another handle of the same file
    EXPECT_EQ(unsynced_files(), 1u);

    const int gone = open_file("gone", "kept");
    write_at(gone, "lost", 0);
    ASSERT_EQ(unlink((dir_ / "gone").c_str()), 0);
    EXPECT_EQ(cut().files, 2u);
    EXPECT_EQ(read_file(dir_ / "g"), "old");
    char buf[8] = {};
    EXPECT_EQ(pread(gone, buf, sizeof buf, 0), 4);
    EXPECT_EQ(std::string(buf), "kept");
    close(fd);
    close(other);
    close(gone);
}

// Kept blocks hold their newest content; a lost block below a kept one that
// lies past the synced size reads as zeros; the size ends at the furthest
// kept block.
TEST_F(Unsynced, PersistKeepsWholeBlocksAndTheSizeFollows)
{
    const int fd = open_file("f", std::string(100, 's'));
    write_at(fd, std::string(3 * 4096, 'n'), 0);
    unsigned next = 0;
    // Draws per block ascending: keep, lose, keep.
    const uint64_t draws[] = {10, 90, 10};
    unsynced_cut_result result;
    capture([&] { result = unsynced_cut(4096, 50, NAMES_DURABLE, [&] { return draws[next++]; }); });
    unsynced_power_on();
    EXPECT_EQ(result.kept, 2u * 4096);
    EXPECT_EQ(result.lost, 4096u);
    const std::string expected =
        std::string(4096, 'n') + std::string(4096, '\0') + std::string(4096, 'n');
    EXPECT_EQ(read_file(dir_ / "f"), expected);

    // Sector-sized tears: 512-byte blocks are drawn one by one.
    unsynced_stop();
    unsynced_start(512);
    write_at(fd, std::string(4096, 'm'), 0);
    next = 0;
    capture([&] { unsynced_cut(512, 50, NAMES_DURABLE, [&] { return uint64_t{next++ % 2 ? 99u : 0u}; }); });
    unsynced_power_on();
    const std::string torn = read_file(dir_ / "f");
    for (std::size_t sector = 0; sector < 8; ++sector)
        EXPECT_EQ(torn[sector * 512], sector % 2 ? 'n' : 'm') << sector;
    close(fd);
}

TEST_F(Unsynced, PastTheMemoryBoundBlocksSpillAndStillComeBack)
{
    unsynced_set_memory_bound(8192);
    const std::string synced = std::string(40000, 'q');
    const int fd = open_file("f", synced);
    write_at(fd, std::string(40000, 'w'), 0);
    EXPECT_LE(unsynced_bytes_in_memory(), 8192u);
    EXPECT_GE(unsynced_bytes_spilled(), 40000u - 8192u);
    cut();
    EXPECT_EQ(read_file(dir_ / "f"), synced);
    EXPECT_EQ(unsynced_bytes_spilled(), 0u);
    close(fd);
}

// A reload that names a smaller block cuts what is saved finer: only the
// block that changed is lost, whether spilled or in memory.
TEST_F(Unsynced, ASmallerBlockAtAReloadCutsTheSavedBlocksFiner)
{
    for (const std::size_t bound : {UNSYNCED_MEMORY_BOUND, std::size_t{0}}) {
        unsynced_stop();
        unsynced_set_memory_bound(bound);
        ASSERT_EQ(unsynced_start(8192), 0);
        const std::string synced(16384, 'a');
        const int fd = open_file("f", synced);
        write_at(fd, "b", 5000);
        ASSERT_EQ(unsynced_start(4096), 0);
        EXPECT_EQ(unsynced_block_size(), 4096u);
        EXPECT_EQ(cut(0, 4096).lost, 4096u) << bound;
        EXPECT_EQ(read_file(dir_ / "f"), synced);
        close(fd);
    }
}

// A file the record cannot open for itself is never changed unrecorded:
// here a write-only file of a user that is not root.
TEST_F(Unsynced, AFileTheRecordCannotOpenRefusesTheChange)
{
    ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
    const std::string path = dir_ / "write-only";
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(100);
        const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0200);
        _exit(fd != -1 && unsynced_before_write(fd, 0, 1) == -EACCES ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(Unsynced, PowerOffStopsChangesUntilPowerOn)
{
    const int fd = open_file("f", "x");
    capture([] { unsynced_cut(4096, 0, NAMES_DURABLE, [] { return uint64_t{0}; }); });
    {
        const unsynced_change_guard guard;
        EXPECT_TRUE(guard.powered_off());
    }
    unsynced_power_on();
    const unsynced_change_guard guard;
    EXPECT_FALSE(guard.powered_off());
    close(fd);
}

}  // namespace
