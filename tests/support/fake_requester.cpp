// Stands in for libfuse's request context in the engine's unit tests.
#include "fake_requester.h"

#include "injection/hook.h"

int fake_requester = 0;

int requester_pid()
{
    return fake_requester;
}
