#pragma once

#include <cstdint>

// The pid that requester_pid() reports to the hook in unit tests.
extern int fake_requester;
// The user id that requester_uid() reports.
extern uint32_t fake_requester_uid;
extern uint32_t fake_requester_gid;
