// Loading the rules: at start-up, and whenever an operation touches the rule
// file, which also brings the power back after a cut.
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
        const std::pair<const char *, const std::optional<std::string> &> patterns[] = {
            {"path_regexp", rule.path_regexp},
            {"op_regexp", rule.op_regexp},
            {"process_regexp", rule.process_regexp}};
        for (const auto &[key, text] : patterns)
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
        if (rule.kind == ERRINJ_POWER_CUT) {
            entry["persist"] = rule.persist;
            entry["block"] = rule.block;
        }
        rules.push_back(std::move(entry));
    }
    nlohmann::json event = {{"event", "load"}, {"loaded", set != nullptr}, {"rules", rules}};
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
                     {"visits", rule.visits},
                     {"hits", rule.hits},
                     {"fires", rule.fires}});
}

rule_set_ptr injection_load_rules()
{
    // Through the base directory's descriptor: if the base directory is
    // moved while mounted, its rule file is still the one read.
    const std::string &path = mount_state.config_path;
    const bool below = mount_state.base_fd != -1 &&
                       path.compare(0, mount_state.path_prefix.size(), mount_state.path_prefix) == 0;
    rule_set_ptr set =
        below ? rule_set_load(path.c_str(), mount_state.quiet, mount_state.base_fd,
                              path.c_str() + mount_state.path_prefix.size())
              : rule_set_load(path.c_str(), mount_state.quiet);
    if (trace_enabled())
        trace_load(set.get());
    track_for(set.get());
    if (!set || mount_state.direct_io)
        return set;
    // Through the page cache the kernel takes a short read as the end of the
    // file: the caller sees the file end early, not a short count.
    for (const injection_rule &rule : set->rules)
        if (rule.kind == ERRINJ_SHORT && (rule.op_matches & (1u << OP_READ)))
            fprintf(stderr, "errinj '%s': without -o direct_io a short read looks to the "
                            "caller like the end of the file\n",
                    rule.name.c_str());
    return set;
}

void injection_reload()
{
    power_on_if_off();
    injection_trace_summary();
    rule_set_free(std::move(mount_state.rules));
    mount_state.rules = injection_load_rules();
}
