#pragma once

// The pid that requester_pid() reports to the hook in unit tests.
extern int fake_requester;
