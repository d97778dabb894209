// The fixed vocabulary shared by the filesystem operations and the injection
// engine: an id per operation, the name a rule's op_regexp is matched against,
// and the errno values an errinj_errno rule may hand back for that operation.
#pragma once

#include <cstddef>
#include <cstdint>

enum fs_op : uint32_t {
    OP_GETATTR,
    OP_READLINK,
    OP_MKNOD,
    OP_MKDIR,
    OP_UNLINK,
    OP_RMDIR,
    OP_SYMLINK,
    OP_RENAME,
    OP_LINK,
    OP_CHMOD,
    OP_CHOWN,
    OP_TRUNCATE,
    OP_OPEN,
    OP_READ,
    OP_WRITE,
    OP_STATFS,
    OP_FLUSH,
    OP_RELEASE,
    OP_FSYNC,
    OP_OPENDIR,
    OP_READDIR,
    OP_RELEASEDIR,
    OP_FSYNCDIR,
    OP_ACCESS,
    OP_CREAT,
    OP_FTRUNCATE,
    OP_FGETATTR,
    OP_LOCK,
    OP_IOCTL,
    OP_UTIMENS,
    OP_LSTAT,
    // Added after the first 31: a pattern that matches their names (".*")
    // reaches them too.
    OP_FALLOCATE,
    OP_SETXATTR,
    OP_GETXATTR,
    OP_LISTXATTR,
    OP_REMOVEXATTR,
    OP_FLOCK,
};

constexpr std::size_t FS_OP_COUNT = OP_FLOCK + 1;

// The bit of op in a rule's set of matching operations.
constexpr uint64_t op_bit(fs_op op)
{
    return uint64_t{1} << op;
}

extern const char *const op_names[FS_OP_COUNT];

struct errno_list {
    const int *entries;
    std::size_t count;
};

extern const errno_list errno_lists[FS_OP_COUNT];

// Draws exactly once from rand() and returns an entry of op's list.
int pick_errno(fs_op op);

// The errno an <errno.h> name stands for ("EIO", "EWOULDBLOCK"), or 0 for a
// name the platform does not know.
int errno_by_name(const char *name);
