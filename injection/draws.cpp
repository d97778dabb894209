// The draws of a check, from the sequence or keyed.
#include "draws.h"

#include <xxhash.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "hook.h"

void draw_source::visit(const injection_rule &rule)
{
    if (!mount_state.keyed_draws)
        return;
    if (!path_hashed_) {
        // Below the base directory, so that a run replays from another
        // checkout or temporary directory too.
        const std::string &prefix = mount_state.path_prefix;
        const char *below =
            strncmp(path_, prefix.c_str(), prefix.size()) == 0 ? path_ + prefix.size() : path_;
        path_hash_ = XXH3_64bits(below, strlen(below));
        path_hashed_ = true;
    }
    rule_hash_ = rule.name_hash;
    const uint64_t key_words[3] = {rule_hash_, path_hash_, op_};
    const uint64_t key = XXH3_64bits(key_words, sizeof key_words);
    const std::lock_guard<std::mutex> held(set_.draw_mutex);
    visit_count_ = count_for(key)++;
    for (uint64_t &index : index_)
        index = 0;
}

uint64_t draw_source::next(draw_purpose purpose)
{
    if (!mount_state.keyed_draws)
        return static_cast<uint64_t>(rand());
    const uint64_t words[6] = {mount_state.seed, rule_hash_, path_hash_,
                               static_cast<uint64_t>(op_) << 32 | purpose, visit_count_,
                               index_[purpose]++};
    return XXH3_64bits(words, sizeof words);
}

uint64_t &draw_source::count_for(uint64_t key)
{
    const auto found = set_.draw_counts.find(key);
    if (found != set_.draw_counts.end())
        return found->second;
    if (set_.draw_counts.size() < MAX_DRAW_KEYS)
        return set_.draw_counts[key];
    if (set_.shared_draw_counts.empty())
        set_.shared_draw_counts.resize(SHARED_DRAW_COUNTS);
    return set_.shared_draw_counts[key % SHARED_DRAW_COUNTS];
}
