// What the control socket orders, each carried out under the hook's lock,
// so that it never falls in the middle of a check, and answered only once
// it has taken effect. Each returns the reply's fields, "ok" among them.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include "unsynced/names.h"

// The seed, the draws, the rule file, the power, every rule's counts since
// the last load, and what is unsynced now.
nlohmann::json injection_status();

// A power cut now, as a rule's cut but with no requester. Given asked (an
// armed order's instant, seconds since the epoch on the system clock), the
// reply and the trace's event carry it as "at", beside "happened": the
// instant the cut took hold of the mount.
nlohmann::json injection_order_cut(uint32_t persist, uint32_t block, names_model names,
                                   bool kill_mount, std::optional<double> asked = std::nullopt);

// As a read of the rule file through the mount: power back on, rules re-read.
nlohmann::json injection_order_power_on(std::optional<double> asked = std::nullopt);

// The rule file re-read now: the rules loaded and every complaint.
nlohmann::json injection_order_reload();

// Everything unsynced counts as synced from now on, names included: the
// sync(2) that never reaches a FUSE file system.
nlohmann::json injection_order_sync();

// The next check that passes the rule's filters fires it, once, whatever
// its probability, after or count say.
nlohmann::json injection_order_fire(const std::string &rule);
