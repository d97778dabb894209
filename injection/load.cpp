// Loading the rules: at start-up, and whenever an operation touches the rule
// file, which also brings the power back after a cut.
#include <fcntl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "check.h"
#include "power.h"
#include "trace/trace.h"

namespace {

// The load event: the rule file's path and every rule with its keys as taken.
void trace_load(const rule_set *set)
{
    nlohmann::json rules = nlohmann::json::array();
    static const std::vector<injection_rule> no_rules;
    for (const injection_rule &rule : set ? set->rules : no_rules) {
        nlohmann::json entry = {{"name", rule.name},
                                {"kind", kind_names[rule.kind]},
                                {"probability", rule.probability}};
        if (rule.probability_ppm)
            entry["probability"] = *rule.probability_ppm / 10000.0;
        if (rule.written_all)
            entry["written"] = "all";
        for (const auto &[key, text] : rule_patterns(rule))
            if (text)
                trace_text(entry, key, *text);
        if (rule.kind == ERRINJ_SLOWDOWN)
            entry["duration"] = rule.duration;
        if (!rule.errnos.empty()) {
            entry["errno"] = nlohmann::json::array();
            for (const int error : rule.errnos)
                entry["errno"].push_back(strerrorname_np(error));
        }
        if (rule.after)
            entry["after"] = rule.after;
        if (rule.count)
            entry["count"] = *rule.count;
        if (rule.uid)
            entry["uid"] = *rule.uid;
        if (rule.bytes)
            entry["bytes"] = *rule.bytes;
        if (rule.kind == ERRINJ_FULL_DISK)
            entry["space"] = rule.space;
        if (rule.kind == ERRINJ_POWER_CUT || rule.kind == ERRINJ_WRITEBACK) {
            entry["persist"] = rule.persist;
            entry["block"] = rule.block;
        }
        if (rule.kind == ERRINJ_POWER_CUT) {
            entry["names"] = names_model_names[rule.names];
            entry["kill"] = rule.kill_mount ? "mount" : "caller";
        }
        rules.push_back(std::move(entry));
    }
    nlohmann::json event = {{"event", "load"}, {"loaded", set != nullptr}, {"rules", rules}};
    if (injection_rules_refused(set))
        event["refused"] = true;
    trace_text(event, "path", mount_state.config_path);
    trace_write(std::move(event));
}

}  // namespace

void injection_trace_summary()
{
    if (!trace_enabled() || !mount_state.rules)
        return;
    for (const injection_rule &rule : mount_state.rules->rules)
        trace_write({{"event", "summary"},
                     {"rule", rule.name},
                     {"kind", kind_names[rule.kind]},
                     {"visits", static_cast<uint64_t>(rule.visits)},
                     {"hits", static_cast<uint64_t>(rule.hits)},
                     {"fires", static_cast<uint64_t>(rule.fires)}});
}

void injection_mount_warnings(rule_set &set)
{
    if (mount_state.direct_io)
        return;
    // Through the page cache the kernel takes a short read as the end of the
    // file: the caller sees the file end early, not a short count.
    for (const injection_rule &rule : set.rules) {
        if (rule.kind != ERRINJ_SHORT || !(rule.op_matches & op_bit(OP_READ)))
            continue;
        const std::string warning = "errinj '" + rule.name +
                                    "': without -o direct_io a short read looks to the "
                                    "caller like the end of the file";
        if (set.report == REPORT_AS_EVER)
            fprintf(stderr, "%s\n", warning.c_str());
        set.complaints.push_back({rule.line, warning, true});
    }
}

rule_set_ptr injection_load_rules(rule_report report)
{
    if (report == REPORT_AS_EVER && mount_state.strict)
        report = REPORT_LOCATED;
    // Through the base directory's descriptor: if the base directory is
    // moved while mounted, its rule file is still the one read.
    const std::string &path = mount_state.config_path;
    const bool below = mount_state.base_fd != -1 &&
                       path.compare(0, mount_state.path_prefix.size(), mount_state.path_prefix) == 0;
    rule_set_ptr set = rule_set_load(path.c_str(), mount_state.quiet,
                                     below ? mount_state.base_fd : AT_FDCWD,
                                     below ? path.c_str() + mount_state.path_prefix.size() : nullptr,
                                     report);
    if (set)
        injection_mount_warnings(*set);
    if (set && report == REPORT_LOCATED)
        rule_set_print_complaints(*set, path.c_str());
    if (trace_enabled() && report != REPORT_CHECKED)
        trace_load(set.get());
    return set;
}

bool injection_rules_refused(const rule_set *set)
{
    return mount_state.strict && set != nullptr && rule_set_has_complaints(*set);
}

void injection_install_rules(rule_set_ptr set)
{
    track_for(set.get());
    mount_state.rules = std::move(set);
}

void injection_reload(rule_set_ptr *refused)
{
    power_on_if_off();
    if (!mount_state.strict) {
        injection_trace_summary();
        rule_set_free(std::move(mount_state.rules));
        injection_install_rules(injection_load_rules());
        return;
    }
    // Strict, a rule file with a mistake in it changes nothing.
    rule_set_ptr set = injection_load_rules();
    if (injection_rules_refused(set.get())) {
        fprintf(stderr, "rules ('%s') refused: the rules in force stay\n",
                mount_state.config_path.c_str());
        if (refused != nullptr)
            *refused = std::move(set);
        return;
    }
    injection_trace_summary();
    rule_set_free(std::move(mount_state.rules));
    injection_install_rules(std::move(set));
}

void injection_reread()
{
    const hook_lock_guard held(mount_state.lock);
    injection_reload();
}
