// The order armed for an instant, and its timer.
#include "armed.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

struct armed_order {
    std::string request;
    std::string keys;
    instant at = 0;
    armed_action action;
};

// Only the events thread reaches these.
int timer = -1;
bool armed = false;
armed_order order;
nlohmann::json last;  // null until an armed order has taken effect

nlohmann::json describe(const armed_order &what)
{
    return {{"request", what.request}, {"keys", what.keys}, {"at", what.at}};
}

void disarm_timer()
{
    armed = false;
    order = {};
    if (timer != -1) {
        const itimerspec off = {};
        timerfd_settime(timer, 0, &off, nullptr);
    }
}

}  // namespace

instant instant_now()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool instant_parse(const std::string &text, instant now, instant &at, std::string &why)
{
    const bool relative = !text.empty() && text[0] == '+';
    const std::string number = relative ? text.substr(1) : text;
    char *end = nullptr;
    errno = 0;
    const double value = number.empty() || !(isdigit(static_cast<unsigned char>(number[0])))
                             ? -1
                             : strtod(number.c_str(), &end);
    if (value < 0 || errno != 0 || end == nullptr || *end != '\0' || !std::isfinite(value) ||
        (relative && value > 86400 * 365)) {
        why = "at must be seconds since the epoch (as 1765432100.250) or +SECONDS from now";
        return false;
    }
    at = relative ? now + value : value;
    if (at <= now) {
        char said[96];
        snprintf(said, sizeof said, "the instant %.6f is past (now is %.6f)", at, now);
        why = said;
        return false;
    }
    return true;
}

nlohmann::json armed_arm(const std::string &request, const std::string &keys, instant at,
                         armed_action action)
{
    if (timer == -1) {
        timer = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
        if (timer == -1)
            return {{"ok", false}, {"error", std::string("timerfd_create: ") + strerror(errno)}};
    }
    nlohmann::json reply = {{"ok", true}, {"armed", request}, {"at", at}};
    if (armed)
        reply["replaced"] = describe(order);
    const double whole = std::floor(at);
    itimerspec when = {};
    when.it_value.tv_sec = static_cast<time_t>(whole);
    when.it_value.tv_nsec = static_cast<long>((at - whole) * 1e9);
    if (timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, nullptr) != 0)
        return {{"ok", false}, {"error", std::string("timerfd_settime: ") + strerror(errno)}};
    order = {request, keys, at, std::move(action)};
    armed = true;
    return reply;
}

nlohmann::json armed_disarm()
{
    if (!armed)
        return {{"ok", false}, {"error", "nothing is armed"}};
    nlohmann::json reply = {{"ok", true}, {"disarmed", describe(order)}};
    disarm_timer();
    return reply;
}

void armed_cancel_for_unmount()
{
    if (armed)
        fprintf(stderr, "control: the %s armed for %.6f is cancelled: the mount is going\n",
                order.request.c_str(), order.at);
    disarm_timer();
    if (timer != -1)
        close(timer);
    timer = -1;
    last = nullptr;
}

nlohmann::json armed_status()
{
    return armed ? describe(order) : nlohmann::json(nullptr);
}

nlohmann::json armed_last()
{
    return last;
}

void armed_wanted(std::vector<pollfd> &fds)
{
    if (armed)
        fds.push_back({timer, POLLIN, 0});
}

void armed_serve(const std::vector<pollfd> &fds)
{
    if (!armed)
        return;
    for (const pollfd &ready : fds) {
        if (ready.fd != timer || !(ready.revents & POLLIN))
            continue;
        uint64_t expirations = 0;
        if (read(timer, &expirations, sizeof expirations) != sizeof expirations)
            return;  // not yet after all (the clock was set back)
        armed_order due = std::move(order);
        disarm_timer();
        nlohmann::json done = describe(due);
        done["reply"] = due.action(due.at);
        if (done["reply"].contains("happened"))
            done["happened"] = done["reply"]["happened"];
        last = std::move(done);
        return;
    }
}
