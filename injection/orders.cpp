// The control socket's orders, carried out as the hook would.
#include "orders.h"

#include <xxhash.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "check.h"
#include "mount_users.h"
#include "power.h"
#include "trace/trace.h"
#include "unsynced/record.h"

namespace {

// Ordered cuts draw from the run's sequence, or keyed by their own count, so
// that a run with the same seed and the same orders repeats.
uint64_t ordered_cuts = 0;

nlohmann::json refusal(const std::string &why)
{
    return {{"ok", false}, {"error", why}};
}

nlohmann::json complaints_of(const rule_set &set)
{
    nlohmann::json list = nlohmann::json::array();
    for (const rule_complaint &complaint : set.complaints)
        list.push_back({{"line", complaint.line},
                        {"text", complaint.text},
                        {"warning", complaint.warning}});
    return list;
}

// The system clock's now, in seconds since the epoch.
double realtime_now()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// An armed order's instants: the one asked for and the one reached.
void add_instants(nlohmann::json &fields, std::optional<double> asked, double happened)
{
    if (asked) {
        fields["at"] = *asked;
        fields["happened"] = happened;
    }
}

}  // namespace

nlohmann::json injection_status()
{
    const hook_lock_guard held(mount_state.lock);
    nlohmann::json rules = nlohmann::json::array();
    if (mount_state.rules)
        for (const injection_rule &rule : mount_state.rules->rules)
            rules.push_back({{"name", rule.name},
                             {"kind", kind_names[rule.kind]},
                             {"visits", static_cast<uint64_t>(rule.visits)},
                             {"hits", static_cast<uint64_t>(rule.hits)},
                             {"fires", static_cast<uint64_t>(rule.fires)}});
    nlohmann::json reply = {{"ok", true},
                            {"seed", mount_state.seed},
                            {"draws", mount_state.keyed_draws ? "keyed" : "sequence"},
                            {"power", unsynced_powered_off() ? "off" : "on"},
                            {"rules", rules},
                            {"unsynced",
                             {{"files", unsynced_files()},
                              {"bytes", unsynced_bytes_changed()},
                              {"names", names_pending()}}}};
    trace_text(reply, "rule_file", mount_state.config_path);
    return reply;
}

nlohmann::json injection_order_cut(uint32_t persist, uint32_t block, names_model names,
                                   bool kill_mount, std::optional<double> asked)
{
    const hook_lock_guard held(mount_state.lock);
    const double happened = realtime_now();
    if (unsynced_powered_off()) {
        nlohmann::json refused = refusal("the power is off already");
        add_instants(refused, asked, happened);
        return refused;
    }
    const uint64_t cut_number = ordered_cuts++;
    uint64_t index = 0;
    const auto draw = [&]() -> uint64_t {
        if (!mount_state.keyed_draws)
            return static_cast<uint64_t>(rand());
        const uint64_t words[4] = {mount_state.seed, 0x636f6e74726f6cu /* "control" */, cut_number,
                                   index++};
        return XXH3_64bits(words, sizeof words);
    };
    printf("power cut ordered through the control socket\n");
    const unsynced_cut_result cut =
        unsynced_cut(std::max(block, unsynced_block_size()), persist, names, draw);
    printf("power cut: %zu files rolled back, %llu bytes lost, %llu bytes kept\n", cut.files,
           static_cast<unsigned long long>(cut.lost), static_cast<unsigned long long>(cut.kept));
    nlohmann::json reply = {{"ok", true},
                            {"files", cut.files},
                            {"lost", cut.lost},
                            {"kept", cut.kept},
                            {"names_undone", cut.names_undone},
                            {"killed", 0}};
    add_instants(reply, asked, happened);
    if (names != NAMES_DURABLE)
        printf("power cut: %zu name changes undone\n", cut.names_undone);
    if (kill_mount) {
        const std::size_t killed = kill_mount_users(mount_state.mount_point, 0);
        printf("power cut: %zu processes killed\n", killed);
        reply["killed"] = killed;
    }
    if (trace_enabled()) {
        nlohmann::json event = {{"event", "ordered_cut"}, {"persist", persist}, {"block", block},
                                {"names", names_model_names[names]}};
        event["power_cut"] = {{"files", cut.files}, {"lost", cut.lost}, {"kept", cut.kept},
                              {"names_undone", cut.names_undone}, {"killed", reply["killed"]}};
        add_instants(event, asked, happened);
        trace_write(std::move(event));
    }
    return reply;
}

nlohmann::json injection_order_power_on(std::optional<double> asked)
{
    const hook_lock_guard held(mount_state.lock);
    const double happened = realtime_now();
    injection_reload();
    nlohmann::json reply = {{"ok", true}, {"power", "on"}};
    add_instants(reply, asked, happened);
    return reply;
}

nlohmann::json injection_order_reload()
{
    const hook_lock_guard held(mount_state.lock);
    rule_set_ptr refused;
    injection_reload(&refused);
    const rule_set *set = refused ? refused.get() : mount_state.rules.get();
    nlohmann::json names = nlohmann::json::array();
    if (!refused && set != nullptr)
        for (const injection_rule &rule : set->rules)
            names.push_back(rule.name);
    nlohmann::json reply = {{"ok", set != nullptr && !refused},
                            {"rules", names},
                            {"complaints", set ? complaints_of(*set) : nlohmann::json::array()}};
    if (refused)
        reply["error"] = "the rule file was refused: the rules in force stay";
    else if (set == nullptr)
        reply["error"] = "the rule file cannot be read";
    return reply;
}

nlohmann::json injection_order_sync()
{
    const hook_lock_guard held(mount_state.lock);
    unsynced_sync_all();
    names_sync_all();
    return {{"ok", true}};
}

nlohmann::json injection_order_fire(const std::string &name)
{
    const hook_lock_guard held(mount_state.lock);
    if (mount_state.rules)
        for (injection_rule &rule : mount_state.rules->rules)
            if (rule.name == name) {
                rule.armed.raise();
                return {{"ok", true}, {"rule", name}, {"armed", true}};
            }
    return refusal("no rule named '" + name + "' is in force");
}
