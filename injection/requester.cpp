// The one piece of the engine that needs libfuse: who made this request.
#define FUSE_USE_VERSION 29
#include <fuse.h>

#include "hook.h"

#include <vector>

int requester_pid()
{
    const fuse_context *context = fuse_get_context();
    return context ? context->pid : 0;
}

uint32_t requester_uid()
{
    const fuse_context *context = fuse_get_context();
    return context ? static_cast<uint32_t>(context->uid) : 0;
}

uint32_t requester_gid()
{
    const fuse_context *context = fuse_get_context();
    return context ? static_cast<uint32_t>(context->gid) : 0;
}

bool requester_in_group(uint32_t gid)
{
    std::vector<gid_t> groups(64);
    int count = fuse_getgroups(static_cast<int>(groups.size()), groups.data());
    if (count > static_cast<int>(groups.size())) {
        groups.resize(static_cast<std::size_t>(count));
        count = fuse_getgroups(count, groups.data());
    }
    for (int i = 0; i < count && i < static_cast<int>(groups.size()); ++i)
        if (groups[static_cast<std::size_t>(i)] == gid)
            return true;
    return false;
}
