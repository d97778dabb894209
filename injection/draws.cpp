// The draws of a check, from the sequence or keyed.
#include "draws.h"

#include <xxhash.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "hook.h"


void draw_source::visit(const injection_rule &rule)
{
    if (!keyed_)
        return;
    if (!path_hashed_) {
        // Below the base directory, so that a run replays from another
        // checkout or temporary directory too.
        const std::string &prefix = mount_state.path_prefix;
        const char *below =
            strncmp(path_, prefix.c_str(), prefix.size()) == 0 ? path_ + prefix.size() : path_;
        path_hash_ = XXH3_64bits(below, strlen(below));
        path_hashed_ = true;
        counts_ = set_.keyed_counts.find(path_hash_, op_, set_.rules.size());
    }
    rule_hash_ = rule.name_hash;
    const auto rule_index = static_cast<std::size_t>(&rule - set_.rules.data());
    visit_count_ = set_.keyed_counts.take(rule_index < set_.rules.size() ? counts_ : nullptr,
                                          rule_index, {rule_hash_, path_hash_, op_});
    for (uint64_t &index : index_)
        index = 0;
}

uint64_t draw_source::next(draw_purpose purpose)
{
    if (!keyed_)
        return static_cast<uint64_t>(rand());
    const uint64_t words[6] = {mount_state.seed, rule_hash_, path_hash_,
                               static_cast<uint64_t>(op_) << 32 | purpose, visit_count_,
                               index_[purpose]++};
    return XXH3_64bits(words, sizeof words);
}
