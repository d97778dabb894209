// The power cut, as the hook orders it: the record of unsynced changes
// (unsynced/) rolls every file back, the requester is killed, and the mount
// stays dark until the rule file is read again. Which rules need the record,
// and in what block size, is decided here at each load.
#pragma once

#include <cstdint>

#include "rules.h"

struct check_state;

// Every tracked file back to its synced state (less the blocks that persist
// keeps), its report line, and the requester killed as a kill rule kills.
void power_cut(const injection_rule &rule, check_state &check);

// A failed write-back on the fsync being checked: the file's unsynced data
// rolled back and forgotten, its line, and the errno the sync returns.
int32_t writeback_failure(const injection_rule &rule, check_state &check);

// Power comes back, with its line and trace event, when it was off.
void power_on_if_off();

// Starts, resizes or stops the record for the rules of set.
void track_for(const rule_set *set);
