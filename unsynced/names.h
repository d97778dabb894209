// The record of name changes: every create, unlink, rmdir, rename and link
// made through the mount since it became durable, in order, with what it
// takes to undo it -- a hard link, in a hidden directory of the base
// directory, to what an unlink or a rename over a file removed; the mode and
// owner of a removed directory. A cut undoes the changes that are not
// durable, newest first.
//
// When a change becomes durable depends on the model:
// - synced: when a directory it changed is synced after it (a rename
//   changes two; either will do). A change made durable makes every earlier
//   change of the same directories durable too: a directory's entries are
//   written in order.
// - journal: any successful sync makes every earlier change durable, as a
//   journal commit does.
// - durable: at once (nothing is recorded).
//
// The hidden directory is never visible through the mount; the operations
// ask names_hidden. It is emptied as changes become durable and when
// recording stops, and removed at names_stop.
//
// Locking: called with the record's change guard held (the power lock,
// shared), like a change of data, and by the cut with it held exclusively;
// the record's own mutex is taken inside it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

enum names_model : uint32_t { NAMES_SYNCED, NAMES_JOURNAL, NAMES_DURABLE };

extern const char *const names_model_names[3];

// The hidden directory's name, in the base directory.
extern const char NAMES_HIDDEN_DIR[];

enum name_change_kind : uint32_t {
    NAME_CREATE,  // a file, node, symbolic link or hard link made at path
    NAME_MKDIR,
    NAME_UNLINK,
    NAME_RMDIR,
    NAME_RENAME,  // path to target
};

// Removes what a daemon that was killed left in base_fd (what it held
// counts as durable: the power never went out). 0, or the negated errno when
// an entry of that name is there that is not tavrin's.
int names_clear_leftover(int base_fd);

// Starts recording under model (the weakest of the rules in force); a
// recording started already keeps its changes and takes the weaker model.
// stop forgets every change, removes the hidden directory and ends the
// recording. 0, or the negated errno when the hidden directory cannot be
// made: every change of names is then refused with it until stop.
int names_start(int base_fd, names_model model);
void names_stop();
bool names_recording();

// Whether path (relative to the base directory, as the host calls take it)
// is the hidden directory or lies in it.
bool names_hidden(const char *path);

// A change on its way: prepared before the host call (what it will remove is
// kept), finished after it.
struct name_change_ticket {
    bool recorded = false;
    uint64_t id = 0;
};

// 0, or the negated errno when the change could not be kept for an undo:
// the change must then not be made.
int names_prepare(name_change_kind kind, const char *path, const char *target,
                  name_change_ticket &ticket);
// The host call's outcome: a change that failed is forgotten.
void names_finish(const name_change_ticket &ticket, bool made);

// A successful fsync or fdatasync of anything (journal), or of the directory
// dir_fd (synced and journal).
void names_synced(int dir_fd);

// Every change counts as durable: what a sync(2) would make of the record.
void names_sync_all();

// Undoes, newest first, the changes not durable under model; with persist,
// pending changes are kept as a prefix, each oldest first with chance
// persist in 100 (one draw each) until the first that is not. Returns the
// number undone; the record is empty afterwards.
std::size_t names_undo(names_model model, uint32_t persist,
                       const std::function<uint64_t()> &draw);

// For tests and status: changes recorded and not yet durable.
std::size_t names_pending();
