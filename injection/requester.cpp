// The one piece of the engine that needs libfuse: who made this request.
#define FUSE_USE_VERSION 29
#include <fuse.h>

#include "hook.h"

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
