// Stands in for libfuse's request context in the engine's unit tests.
#include "fake_requester.h"

#include "injection/hook.h"

int fake_requester = 0;
uint32_t fake_requester_uid = 0;
uint32_t fake_requester_gid = 0;

int requester_pid()
{
    return fake_requester;
}

uint32_t requester_uid()
{
    return fake_requester_uid;
}

uint32_t requester_gid()
{
    return fake_requester_gid;
}

bool requester_in_group(uint32_t)
{
    return false;
}
