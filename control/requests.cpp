// Parsing a request and carrying it out through the engine's orders.
#include "requests.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include "armed.h"
#include "injection/orders.h"

namespace {

nlohmann::json error(const std::string &why)
{
    return {{"ok", false}, {"error", why}};
}

// A whole number from low to high, or false.
bool number(const std::string &text, uint64_t low, uint64_t high, uint32_t &value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 9)
        return false;
    const unsigned long parsed = strtoul(text.c_str(), nullptr, 10);
    if (parsed < low || parsed > high)
        return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

using request_keys = std::map<std::string, std::string>;

// Carries out an order now, or, given at=TIME, arms it for that instant.
nlohmann::json now_or_at(const std::string &request, const request_keys &keys,
                         const std::function<nlohmann::json(std::optional<double>)> &order)
{
    const auto at = keys.find("at");
    if (at == keys.end())
        return order(std::nullopt);
    instant when = 0;
    std::string why;
    if (!instant_parse(at->second, instant_now(), when, why))
        return error(why);
    std::string others;
    for (const auto &[key, value] : keys)
        if (key != "at")
            others += (others.empty() ? "" : " ") + key + "=" + value;
    return armed_arm(request, others, when, [order](instant asked) { return order(asked); });
}

nlohmann::json cut(const request_keys &keys)
{
    uint32_t persist = 0, block = 4096;
    names_model names = NAMES_SYNCED;
    bool kill_mount = false;
    for (const auto &[key, value] : keys) {
        if (key == "persist") {
            if (!number(value, 0, 100, persist))
                return error("persist must be a whole number from 0 to 100");
        } else if (key == "block") {
            if (!number(value, 512, 1u << 20, block) || (block & (block - 1)) != 0)
                return error("block must be a power of two from 512 to 1048576");
        } else if (key == "names") {
            std::size_t model = 0;
            while (model < 3 && value != names_model_names[model])
                ++model;
            if (model == 3)
                return error("names must be synced, journal or durable");
            names = static_cast<names_model>(model);
        } else if (key == "kill") {
            if (value != "none" && value != "mount")
                return error("kill must be none or mount");
            kill_mount = value == "mount";
        } else if (key != "at") {
            return error("cut takes no key '" + key + "'");
        }
    }
    return now_or_at("cut", keys, [=](std::optional<double> asked) {
        return injection_order_cut(persist, block, names, kill_mount, asked);
    });
}

nlohmann::json status()
{
    nlohmann::json reply = injection_status();
    reply["armed"] = armed_status();
    reply["last_armed"] = armed_last();
    return reply;
}

nlohmann::json answer(const std::string &line)
{
    std::istringstream words(line);
    std::string request;
    words >> request;
    std::vector<std::string> arguments;
    std::map<std::string, std::string> keys;
    for (std::string word; words >> word;) {
        const std::size_t equals = word.find('=');
        if (equals == std::string::npos)
            arguments.push_back(word);
        else if (!keys.emplace(word.substr(0, equals), word.substr(equals + 1)).second)
            return error("key '" + word.substr(0, equals) + "' given twice");
    }
    const bool bare = arguments.empty() && keys.empty();
    if (request.empty())
        return error("empty request");
    if (request == "cut" && arguments.empty())
        return cut(keys);
    if (request == "fire" && arguments.size() == 1 && keys.empty())
        return injection_order_fire(arguments[0]);
    if (request == "fire")
        return error("fire takes the name of one rule");
    if (request == "power-on" && arguments.empty() && keys.size() == keys.count("at"))
        return now_or_at("power-on", keys, injection_order_power_on);
    if (request == "power-on")
        return error("power-on takes no arguments but at=TIME");
    if (!bare)
        return error(request + " takes no arguments");
    if (request == "status")
        return status();
    if (request == "disarm")
        return armed_disarm();
    if (request == "reload")
        return injection_order_reload();
    if (request == "sync")
        return injection_order_sync();
    return error("unknown request '" + request + "'");
}

}  // namespace

std::string control_answer(const std::string &line)
{
    try {
        // Replace: a client's bytes need not be UTF-8, and the reply must be.
        return answer(line).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception &failure) {
        return error(failure.what()).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
}
