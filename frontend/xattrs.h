// Extended attributes through a daemon that acts with root's rights: what a
// caller may do. The kernel checks user.* against the file's permissions
// and keeps trusted.* and security.* writes to the privileged, but passes
// system.* (POSIX ACLs, with libfuse 2) straight through, and a listing
// made as root would show trusted.* names to anyone. The contract, for a
// requester that is neither root nor the daemon's own user:
// - trusted.*: never set, removed, read or listed;
// - security.*: never set or removed;
// - system.*: set or removed only on a file the requester owns.
#pragma once

#include <cstddef>

// 0 when the requester may set or remove name on the entry at entry_path
// (not on what it names, if it is a link).
int xattr_change_refused(const char *entry_path, const char *name);
// 0 when the requester may read name.
int xattr_read_refused(const char *name);
// Drops from a listing of length bytes the names the requester may not see;
// returns the new length.
std::size_t xattr_list_filter(char *list, std::size_t length);
// Whether the requester sees every name (root, or the daemon's own user).
bool xattr_sees_all();
