// The record of unsynced changes: for every regular file whose data changed
// through the mount since its last sync, its size then and the content then
// of every block changed since, so that a power cut can bring it back. Files
// are known by device and inode, so a renamed or linked file stays the same
// file. Saved blocks live in memory up to a bound, and past it in an
// unlinked temporary file.
//
// Locking: operations that change a file's data or sync it hold a change
// guard (the power lock, shared) from before they look at the power state
// until their host call has returned; the cut takes the power lock
// exclusively. A change that had not reached its host call when the cut
// began therefore finds the power off and fails, and one that had is
// recorded and rolled back: no write escapes the cut. The record's own
// mutex guards its tables and is only ever taken inside the power lock, in
// that order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "names.h"

// Saved blocks kept in memory before they go to the temporary file.
constexpr std::size_t UNSYNCED_MEMORY_BOUND = 64u << 20;

// Holds the power lock, shared, for one change on its way to the host.
class unsynced_change_guard {
public:
    unsynced_change_guard();
    ~unsynced_change_guard();
    unsynced_change_guard(const unsynced_change_guard &) = delete;
    unsynced_change_guard &operator=(const unsynced_change_guard &) = delete;
    // After a cut nothing reaches the base directory until power is back.
    bool powered_off() const;
};

// Tracking starts empty (what was written before counts as synced) with
// blocks of block_size bytes, a power of two; stop forgets everything.
// Started already, a smaller block size cuts what is saved into blocks of
// that size, and a larger one keeps the smaller blocks, of which a cut's
// larger blocks are made. 0, or the negated errno when the saved blocks
// could not be cut (they stay as they were).
int unsynced_start(uint32_t block_size);
void unsynced_stop();
bool unsynced_tracking();
uint32_t unsynced_block_size();

// Called with a change guard held, before the host call: saves what the
// change is about to overwrite or cut off. fd is any descriptor of the file;
// the record keeps a read-write descriptor of its own for each file it
// tracks. 0, or the negated errno when the old content could not be saved
// or the file cannot be tracked: the change must then not be made.
int unsynced_before_write(int fd, uint64_t offset, uint64_t length);
int unsynced_before_resize(int fd, uint64_t new_size);
// A successful fsync or fdatasync (or O_SYNC write): the file's data is
// synced, and what was saved of it is forgotten.
void unsynced_synced(int fd);

struct unsynced_cut_result {
    std::size_t files = 0;  // files brought back
    uint64_t lost = 0;      // bytes of changed blocks that went back
    uint64_t kept = 0;      // bytes of changed blocks kept
    std::size_t names_undone = 0;
    bool already_off = false;  // another cut had come first: nothing was done
};

// The cut: first the name changes that are not durable under names are
// undone (names.h), then every tracked file goes back to its synced content
// and size, except the blocks of block_size bytes (a multiple of the
// tracking size) that draw a value below persist out of 100 (one draw per
// changed block, files in the order of their first unsynced change, blocks
// ascending). Then the power is off until unsynced_power_on.
unsynced_cut_result unsynced_cut(uint32_t block_size, uint32_t persist, names_model names,
                                 const std::function<uint64_t()> &draw);

// A failed write-back: the file behind fd goes back as a cut would bring it
// back, and is forgotten, so that its next sync has nothing to write. The
// power stays on. found is false for a file with nothing unsynced.
struct unsynced_writeback_result {
    bool found = false;
    uint64_t lost = 0;
    uint64_t kept = 0;
};
unsynced_writeback_result unsynced_writeback_fail(int fd, uint32_t block_size, uint32_t persist,
                                                  const std::function<uint64_t()> &draw);
bool unsynced_powered_off();
void unsynced_power_on();

// Every file counts as synced: what a sync(2) would make of the record.
void unsynced_sync_all();

// The bytes of the blocks changed since their files' last syncs.
uint64_t unsynced_bytes_changed();

// For tests: the memory bound in force, and what the record holds now.
void unsynced_set_memory_bound(std::size_t bytes);
std::size_t unsynced_files();
std::size_t unsynced_bytes_in_memory();
std::size_t unsynced_bytes_spilled();
