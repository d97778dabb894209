// tavrin-run -explore: finds the crash point that breaks a program. BASEDIR
// is copied once; a recording run of the workload on a copy, through a
// mount that records every check of the chosen operations, names the crash
// points (an operation, a path below the base directory, and its ordinal
// among checks of that operation on that path, plus the point after the
// workload has ended); then each chosen point is a crash run on a fresh
// copy with a power cut there that takes the whole workload down, and the
// check runs on what the cut left. Each run is a tavrin-run of its own.
#pragma once

#include <string>
#include <vector>

struct explore_settings {
    bool enabled = false;
    std::string check;
    std::string ops = "^(write|truncate|ftruncate|fallocate|mknod|mkdir|unlink|rmdir|symlink|"
                      "rename|link|creat|fsync|fsyncdir|setxattr|removexattr)$";
    std::string paths = ".*";
    unsigned max = 200;
    std::vector<unsigned> persist = {0};
    std::string names = "synced";
    unsigned jobs = 1;
    std::string report;
    bool keep = false;
};

// Takes arg when it is one of -explore's options ("-check=...", "-jobs=2");
// false for anything else. error says what is wrong with a value.
bool explore_option(const std::string &arg, explore_settings &settings, std::string &error);

// Explores; the exit status: 0 when every check passed, 1 when one failed
// or a point was not reached, 125 when exploring could not start.
int explore(const explore_settings &settings, const std::string &seed, const std::string &basedir,
            const std::vector<std::string> &tavrin_options, const std::vector<std::string> &workload);
