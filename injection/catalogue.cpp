// Operation names and errno lists. The tables are constant for the life of the
// process; pick_errno is the only code that draws from them and is called with
// the hook's lock held, which keeps its rand() draws in the check's sequence.
#include "catalogue.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

const char *const op_names[FS_OP_COUNT] = {
    "getattr", "readlink",  "mknod",      "mkdir",    "unlink",   "rmdir",
    "symlink", "rename",    "link",       "chmod",    "chown",    "truncate",
    "open",    "read",      "write",      "statfs",   "flush",    "release",
    "fsync",   "opendir",   "readdir",    "releasedir", "fsyncdir", "access",
    "creat",   "ftruncate", "fgetattr",   "lock",     "ioctl",    "utimens",
    "lstat",   "fallocate", "setxattr",   "getxattr", "listxattr", "removexattr",
    "flock",
};

namespace {

template <std::size_t N>
constexpr errno_list list_of(const int (&entries)[N])
{
    return {entries, N};
}

const int stat_errnos[] = {EACCES, EFAULT,       EIO,    ELOOP,
                           ENAMETOOLONG, ENOENT, ENOTDIR, EOVERFLOW};
const int readlink_errnos[] = {EACCES, EFAULT,       EINVAL, EIO,
                               ELOOP,  ENAMETOOLONG, ENOENT, ENOTDIR};
const int mknod_errnos[] = {EACCES, EBADF,  EDQUOT,  EEXIST, EFAULT,
                            EINVAL, EIO,    ELOOP,   ENAMETOOLONG, ENOENT,
                            ENOSPC, ENOTDIR, EPERM,  EROFS};
const int mkdir_errnos[] = {EACCES, EBADF,  EDQUOT, EEXIST,  EFAULT,
                            EIO,    ELOOP,  EMLINK, ENAMETOOLONG, ENOENT,
                            ENOSPC, ENOTDIR, EPERM, EROFS};
const int unlink_errnos[] = {EACCES, EFAULT, EIO,    EISDIR,  ELOOP, ENAMETOOLONG,
                             ENOENT, ENOSPC, ENOTDIR, EPERM,  EROFS};
const int rmdir_errnos[] = {EACCES, EBUSY,  EFAULT,  EINVAL,    EIO,   ELOOP,
                            ENAMETOOLONG, ENOENT, ENOTDIR, ENOTEMPTY, EPERM, EROFS};
const int symlink_errnos[] = {EACCES, EDQUOT, EEXIST, EFAULT,  EIO,   ELOOP,
                              ENAMETOOLONG, ENOENT, ENOSPC, ENOTDIR, EPERM, EROFS};
const int rename_errnos[] = {EACCES, EDQUOT,  EFAULT,    EINVAL, EIO,
                             EISDIR, ELOOP,   ENAMETOOLONG, ENOENT, ENOSPC,
                             ENOTDIR, ENOTEMPTY, EPERM,  EROFS,  EXDEV};
const int link_errnos[] = {EACCES, EBADF,  EDQUOT,  EEXIST,     EFAULT, EINVAL,
                           EIO,    ELOOP,  EMLINK,  ENAMETOOLONG, ENOENT, ENOSPC,
                           ENOTDIR, EOPNOTSUPP, EPERM, EROFS,  EXDEV};
// EFTYPE is a BSD errno; where the platform lacks it the list is one shorter.
// EPERM stands twice on purpose: it is drawn twice as often.
const int chmod_errnos[] = {EACCES, EFAULT,
#ifdef EFTYPE
                            EFTYPE,
#endif
                            EIO,    ELOOP,  ENAMETOOLONG, ENOENT, ENOTDIR,
                            EPERM,  EPERM,  EROFS};
const int truncate_errnos[] = {EACCES, EFAULT, EFBIG,        EINVAL, EIO,
                               EISDIR, ELOOP,  ENAMETOOLONG, ENOENT, ENOTDIR,
                               EPERM,  EROFS,  ETXTBSY};
const int open_errnos[] = {EACCES, EBADF,  EDQUOT,  EEXIST,     EFAULT, EINTR,
                           EINVAL, EIO,    EISDIR,  ELOOP,      EMFILE, EMLINK,
                           ENAMETOOLONG, ENFILE, ENOENT, ENOSPC, ENOTDIR, ENXIO,
                           EOPNOTSUPP, EPERM, EROFS, ETXTBSY,   EWOULDBLOCK};
const int read_errnos[] = {EAGAIN, EBADF, EBUSY,  ECONNRESET, EFAULT,    EINTR,
                           EINVAL, EIO,   EISDIR, EOPNOTSUPP, EOVERFLOW};
const int write_errnos[] = {EAGAIN, EBADF, EDQUOT, EFAULT, EFBIG, EINTR,
                            EINVAL, EIO,   ENOSPC, EPIPE,  EROFS};
const int statfs_errnos[] = {EACCES, EFAULT, EIO,    ELOOP,
                             ENAMETOOLONG, ENOENT, ENOTDIR};
const int close_errnos[] = {EBADF, EINTR, ENOSPC, ECONNRESET};
const int fsync_errnos[] = {EBADF, EINVAL, EIO};
const int opendir_errnos[] = {EACCES, ELOOP, ENAMETOOLONG, ENOENT, ENOTDIR};
const int readdir_errnos[] = {EBADF, EFAULT, EINVAL, EIO};
const int access_errnos[] = {EACCES, EFAULT, EINVAL,  EIO,   ELOOP,
                             ENAMETOOLONG, ENOENT, ENOTDIR, EROFS, ETXTBSY};
const int ftruncate_errnos[] = {EACCES, EBADF,  EFAULT, EFBIG,   EINVAL,
                                EIO,    EISDIR, ELOOP,  ENAMETOOLONG, ENOENT,
                                ENOTDIR, EPERM, EROFS,  ETXTBSY};
// Linux restarts a lock request that a FUSE filesystem answers with EINTR and,
// with no signal pending, hands the caller its internal ERESTARTSYS (512),
// which is no errno at all; so EINTR stays out of the list there.
const int lock_errnos[] = {EAGAIN, EBADF,  EDEADLK,
#ifndef __linux__
                           EINTR,
#endif
                           EINVAL, EMFILE, ENOLCK, ENOTTY, EOPNOTSUPP, EOVERFLOW, EPERM, ESRCH};
const int ioctl_errnos[] = {EBADF, EFAULT, EINVAL, ENOTTY};
// From their manual pages, less ENOSYS (the kernel would stop sending the
// operation) and, for flock, EINTR (it would reach the caller as 512, as
// for lock).
const int fallocate_errnos[] = {EBADF, EFBIG,  EINTR,      EINVAL, EIO,    ENODEV,
                                ENOSPC, EOPNOTSUPP, EPERM, ESPIPE, ETXTBSY};
const int setxattr_errnos[] = {EACCES, EDQUOT, EEXIST, EFAULT,  ELOOP,   ENAMETOOLONG,
                               ENODATA, ENOENT, ENOSPC, ENOTDIR, ENOTSUP, EPERM,
                               ERANGE, EROFS};
const int getxattr_errnos[] = {E2BIG,  EACCES,  EFAULT, ELOOP,   ENAMETOOLONG,
                               ENODATA, ENOENT, ENOTDIR, ENOTSUP, ERANGE};
const int listxattr_errnos[] = {E2BIG,  EACCES, EFAULT,  ELOOP, ENAMETOOLONG,
                                ENOENT, ENOTDIR, ENOTSUP, ERANGE};
const int removexattr_errnos[] = {EACCES, EFAULT, ELOOP,   ENAMETOOLONG, ENODATA,
                                  ENOENT, ENOTDIR, ENOTSUP, EPERM,       EROFS};
const int flock_errnos[] = {EBADF, EINVAL, ENOLCK, EWOULDBLOCK};
const int utimens_errnos[] = {EACCES, EBADF,  EFAULT,  EINVAL, EIO,   ELOOP,
                              ENAMETOOLONG, ENOENT, ENOTDIR, EPERM, EROFS, ESRCH};

}  // namespace

const errno_list errno_lists[FS_OP_COUNT] = {
    list_of(stat_errnos),      // getattr
    list_of(readlink_errnos),  // readlink
    list_of(mknod_errnos),     // mknod
    list_of(mkdir_errnos),     // mkdir
    list_of(unlink_errnos),    // unlink
    list_of(rmdir_errnos),     // rmdir
    list_of(symlink_errnos),   // symlink
    list_of(rename_errnos),    // rename
    list_of(link_errnos),      // link
    list_of(chmod_errnos),     // chmod
    list_of(chmod_errnos),     // chown
    list_of(truncate_errnos),  // truncate
    list_of(open_errnos),      // open
    list_of(read_errnos),      // read
    list_of(write_errnos),     // write
    list_of(statfs_errnos),    // statfs
    list_of(close_errnos),     // flush
    list_of(close_errnos),     // release
    list_of(fsync_errnos),     // fsync
    list_of(opendir_errnos),   // opendir
    list_of(readdir_errnos),   // readdir
    list_of(close_errnos),     // releasedir
    list_of(fsync_errnos),     // fsyncdir
    list_of(access_errnos),    // access
    list_of(open_errnos),      // creat
    list_of(ftruncate_errnos), // ftruncate
    list_of(stat_errnos),      // fgetattr
    list_of(lock_errnos),      // lock
    list_of(ioctl_errnos),     // ioctl
    list_of(utimens_errnos),   // utimens
    list_of(stat_errnos),      // lstat
    list_of(fallocate_errnos), // fallocate
    list_of(setxattr_errnos),  // setxattr
    list_of(getxattr_errnos),  // getxattr
    list_of(listxattr_errnos), // listxattr
    list_of(removexattr_errnos), // removexattr
    list_of(flock_errnos),     // flock
};

int pick_errno(fs_op op)
{
    const errno_list &list = errno_lists[op];
    return list.entries[static_cast<unsigned>(rand()) % list.count];
}

int errno_by_name(const char *name)
{
    // glibc names each value once; these are the other spellings <errno.h> has.
    static const struct {
        const char *name;
        int value;
    } aliases[] = {{"EWOULDBLOCK", EWOULDBLOCK}, {"EDEADLOCK", EDEADLOCK}, {"ENOTSUP", ENOTSUP}};
    for (const auto &alias : aliases)
        if (strcmp(name, alias.name) == 0)
            return alias.value;
    for (int value = 1; value < 256; ++value) {
        const char *known = strerrorname_np(value);
        if (known != nullptr && strcmp(name, known) == 0)
            return value;
    }
    return 0;
}
