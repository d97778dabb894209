// The cut, the failed write-back, and power-on.
#include "power.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "check.h"
#include "mount_users.h"
#include "trace/trace.h"
#include "unsynced/names.h"
#include "unsynced/record.h"

// The record takes its power lock after the hook's lock, and no operation
// holding the power lock waits for the hook's, so a cut inside any
// operation cannot deadlock.
void power_cut(const injection_rule &rule, check_state &check)
{
    const unsynced_cut_result cut = unsynced_cut(rule.block, rule.persist, rule.names, [&] {
        return check.draws.next(DRAW_BLOCK);
    });
    // Checks side by side: another one's cut came first; this one only
    // fails, as every request does with the power off.
    if (cut.already_off) {
        engine_unsay(check.said);
        check.event["power_cut"] = "already off";
        return;
    }
    engine_print("power cut: %zu files rolled back, %llu bytes lost, %llu bytes kept\n", cut.files,
           static_cast<unsigned long long>(cut.lost), static_cast<unsigned long long>(cut.kept));
    check.event["power_cut"] = {{"files", cut.files}, {"lost", cut.lost}, {"kept", cut.kept}};
    if (rule.names != NAMES_DURABLE) {
        engine_print("power cut: %zu name changes undone\n", cut.names_undone);
        check.event["power_cut"]["names_undone"] = cut.names_undone;
    }
    kill_requester(check.event);
    if (rule.kill_mount) {
        check.requester.learn();
        const std::size_t killed = kill_mount_users(mount_state.mount_point, check.requester.pid);
        engine_print("power cut: %zu processes killed\n", killed);
        check.event["power_cut"]["killed"] = killed;
    }
}

int32_t writeback_failure(const injection_rule &rule, check_state &check)
{
    const unsynced_writeback_result lost =
        unsynced_writeback_fail(check.request.fd, rule.block, rule.persist,
                                [&] { return check.draws.next(DRAW_BLOCK); });
    engine_print("writeback failed: %llu bytes lost, %llu bytes kept\n",
           static_cast<unsigned long long>(lost.lost), static_cast<unsigned long long>(lost.kept));
    check.event["writeback"] = {{"lost", lost.lost}, {"kept", lost.kept}};
    const std::vector<int> &list = rule.errnos;
    const int error = list[check.draws.next(DRAW_ERRNO) % list.size()];
    report_errno(error, check.event);
    return -error;
}

void power_on_if_off()
{
    if (!unsynced_powered_off())
        return;
    unsynced_power_on();
    printf("power restored\n");
    trace_write({{"event", "power_on"}});
}

// Unsynced changes are tracked while the rules hold a power cut or a failed
// write-back, in blocks of the smallest size any of them names; name
// changes, while a power cut does not take them as durable at once, by the
// model of the one that loses the most.
void track_for(const rule_set *set)
{
    uint32_t block = 0;
    names_model names = NAMES_DURABLE;
    for (std::size_t i = 0; set != nullptr && i < set->rules.size(); ++i) {
        const injection_rule &rule = set->rules[i];
        if (rule.kind != ERRINJ_POWER_CUT && rule.kind != ERRINJ_WRITEBACK)
            continue;
        block = block == 0 ? rule.block : std::min(block, rule.block);
        if (rule.kind == ERRINJ_POWER_CUT)
            names = std::min(names, rule.names);
    }
    // Under -control a cut may be ordered at any moment.
    if (mount_state.control) {
        block = block == 0 ? 4096 : std::min(block, 4096u);
        names = NAMES_SYNCED;
    }
    if (names == NAMES_DURABLE || mount_state.base_fd == -1) {
        names_stop();
    } else if (const int error = names_start(mount_state.base_fd, names)) {
        fprintf(stderr, "power cut: name changes cannot be recorded in %s: %s\n",
                NAMES_HIDDEN_DIR, strerror(-error));
    }
    if (block == 0) {
        unsynced_stop();
        return;
    }
    if (const int error = unsynced_start(block))
        fprintf(stderr, "power cut: unsynced changes stay in blocks of %u bytes: %s\n",
                unsynced_block_size(), strerror(-error));
}
