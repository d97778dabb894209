// The processes that use the mount: those with a file or directory of it
// open, their working or root directory under it, or a file of it mapped --
// what a machine losing power takes down with the disk. Found through /proc
// without touching the mount itself (a look at a file of the mount would
// be a request to ourselves, made while the cut holds the hook).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// Whether something is mounted at mount_point (an absolute, resolved path).
bool is_mount_point(const std::string &mount_point);

// SIGKILL to every process that uses the mount at mount_point, but this one
// and spare; one that cannot be signalled is said on standard error.
// Returns the number killed.
std::size_t kill_mount_users(const std::string &mount_point, pid_t spare);
