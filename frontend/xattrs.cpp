// What a caller may do with extended attributes.
#include "xattrs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../injection/hook.h"

namespace {

bool in_namespace(const char *name, const char *prefix)
{
    return strncmp(name, prefix, strlen(prefix)) == 0;
}

}  // namespace

bool xattr_sees_all()
{
    const uint32_t uid = requester_uid();
    return uid == 0 || uid == geteuid();
}

int xattr_change_refused(const char *entry_path, const char *name)
{
    if (xattr_sees_all())
        return 0;
    if (in_namespace(name, "trusted.") || in_namespace(name, "security."))
        return -EPERM;
    if (in_namespace(name, "system.")) {
        struct stat st;
        if (lstat(entry_path, &st) != 0)
            return -errno;
        if (st.st_uid != requester_uid())
            return -EPERM;
    }
    return 0;
}

int xattr_read_refused(const char *name)
{
    return !xattr_sees_all() && in_namespace(name, "trusted.") ? -ENODATA : 0;
}

std::size_t xattr_list_filter(char *list, std::size_t length)
{
    if (xattr_sees_all())
        return length;
    std::size_t kept = 0;
    for (std::size_t at = 0; at < length;) {
        const std::size_t size = strnlen(list + at, length - at) + 1;
        if (!in_namespace(list + at, "trusted.")) {
            memmove(list + kept, list + at, size);
            kept += size;
        }
        at += size;
    }
    return kept;
}
