// The cut and power-on.
#include "power.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "check.h"
#include "trace/trace.h"
#include "unsynced/record.h"

// The record takes its power lock after the hook's lock, and no operation
// holding the power lock waits for the hook's, so a cut inside any
// operation cannot deadlock.
void power_cut(const injection_rule &rule, check_state &check)
{
    const unsynced_cut_result cut = unsynced_cut(rule.block, rule.persist, [&] {
        return check.draws.next(DRAW_BLOCK);
    });
    printf("power cut: %zu files rolled back, %llu bytes lost, %llu bytes kept\n", cut.files,
           static_cast<unsigned long long>(cut.lost), static_cast<unsigned long long>(cut.kept));
    check.event["power_cut"] = {{"files", cut.files}, {"lost", cut.lost}, {"kept", cut.kept}};
    kill_requester(check.event);
}

void power_on_if_off()
{
    if (!unsynced_powered_off())
        return;
    unsynced_power_on();
    printf("power restored\n");
    trace_write({{"event", "power_on"}});
}

// Unsynced changes are tracked while the rules hold a power cut, in blocks
// of the smallest size any of them names.
void track_for(const rule_set *set)
{
    uint32_t block = 0;
    for (std::size_t i = 0; set != nullptr && i < set->rules.size(); ++i)
        if (set->rules[i].kind == ERRINJ_POWER_CUT)
            block = block == 0 ? set->rules[i].block : std::min(block, set->rules[i].block);
    if (block == 0) {
        unsynced_stop();
        return;
    }
    if (const int error = unsynced_start(block))
        fprintf(stderr, "power cut: unsynced changes stay in blocks of %u bytes: %s\n",
                unsynced_block_size(), strerror(-error));
}
