// The ioctls a caller of the mount may make.
#include "ioctls.h"

#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "../injection/hook.h"

namespace {

enum ioctl_access { IOCTL_NEVER, IOCTL_QUERY, IOCTL_OWNER };

struct ioctl_entry {
    unsigned int command;
    ioctl_access access;
};

const ioctl_entry IOCTLS[] = {
    {static_cast<unsigned int>(FICLONE), IOCTL_NEVER},
    {static_cast<unsigned int>(FICLONERANGE), IOCTL_NEVER},
    {static_cast<unsigned int>(FIDEDUPERANGE), IOCTL_NEVER},
    {static_cast<unsigned int>(FS_IOC_FIEMAP), IOCTL_QUERY},
    {static_cast<unsigned int>(FS_IOC_GETFLAGS), IOCTL_QUERY},
    {static_cast<unsigned int>(FS_IOC32_GETFLAGS), IOCTL_QUERY},
    {static_cast<unsigned int>(FS_IOC_GETVERSION), IOCTL_QUERY},
    {static_cast<unsigned int>(FS_IOC32_GETVERSION), IOCTL_QUERY},
    {static_cast<unsigned int>(FS_IOC_FSGETXATTR), IOCTL_QUERY},
    {static_cast<unsigned int>(FIGETBSZ), IOCTL_QUERY},
    {static_cast<unsigned int>(FIONREAD), IOCTL_QUERY},
    {static_cast<unsigned int>(FS_IOC_SETFLAGS), IOCTL_OWNER},
    {static_cast<unsigned int>(FS_IOC32_SETFLAGS), IOCTL_OWNER},
    {static_cast<unsigned int>(FS_IOC_SETVERSION), IOCTL_OWNER},
    {static_cast<unsigned int>(FS_IOC32_SETVERSION), IOCTL_OWNER},
    {static_cast<unsigned int>(FS_IOC_FSSETXATTR), IOCTL_OWNER},
};

const ioctl_entry *entry_of(unsigned int command)
{
    for (const ioctl_entry &entry : IOCTLS)
        if (entry.command == command)
            return &entry;
    return nullptr;
}

// Whether a change of flags or attributes leaves the privileged ones alone.
bool keeps_privileged_flags(unsigned int command, int fd, const void *data)
{
    if (command == static_cast<unsigned int>(FS_IOC_FSSETXATTR)) {
        fsxattr now = {};
        if (ioctl(fd, FS_IOC_FSGETXATTR, &now) != 0)
            return false;
        const auto *asked = static_cast<const fsxattr *>(data);
        const unsigned privileged = FS_XFLAG_IMMUTABLE | FS_XFLAG_APPEND;
        return ((asked->fsx_xflags ^ now.fsx_xflags) & privileged) == 0 &&
               asked->fsx_projid == now.fsx_projid;
    }
    if (command == static_cast<unsigned int>(FS_IOC_SETFLAGS) ||
        command == static_cast<unsigned int>(FS_IOC32_SETFLAGS)) {
        int now = 0;
        if (ioctl(fd, FS_IOC_GETFLAGS, &now) != 0)
            return false;
        const int asked = *static_cast<const int *>(data);
        return ((asked ^ now) & (FS_IMMUTABLE_FL | FS_APPEND_FL)) == 0;
    }
    return true;
}

}  // namespace

int ioctl_refused(unsigned int command, int fd, const void *data)
{
    const ioctl_entry *entry = entry_of(command);
    if (entry != nullptr && entry->access == IOCTL_NEVER)
        return -EOPNOTSUPP;
    if (command == static_cast<unsigned int>(FS_IOC_FIEMAP) && data != nullptr &&
        static_cast<const fiemap *>(data)->fm_extent_count != 0)
        return -EOPNOTSUPP;

    const uint32_t uid = requester_uid();
    if (uid == 0 || uid == geteuid())
        return 0;
    if (entry == nullptr)
        return -EPERM;
    if (entry->access == IOCTL_QUERY)
        return 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_uid != uid || data == nullptr ||
        !keeps_privileged_flags(command, fd, data))
        return -EPERM;
    return 0;
}
