// An order armed to take effect at an instant on the system clock
// (CLOCK_REALTIME): a power cut or a power-on that several mounts, on one
// machine or many with their clocks kept together, carry out at the same
// moment. One order at a time: arming another replaces it. A timerfd set
// for the instant wakes the events thread, which carries the order out
// and keeps what it did for status. Unmounting cancels what is armed.
// Used by the events thread only, through the control socket's requests.
#pragma once

#include <poll.h>

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// An instant as seconds since the epoch, with a fraction.
using instant = double;

instant instant_now();

// Reads "1765432100.250" (absolute) or "+0.5" (from now) into at; false
// with why set for a malformed text or an instant already past.
bool instant_parse(const std::string &text, instant now, instant &at, std::string &why);

// What an armed order does when its instant comes: the order's reply,
// given the instant asked for.
using armed_action = std::function<nlohmann::json(instant asked)>;

// Arms request (its name, as "cut") with keys (the request's words but at=)
// for at. The reply says when, and what it replaced, if anything.
nlohmann::json armed_arm(const std::string &request, const std::string &keys, instant at,
                         armed_action action);
// Cancels what is armed: the reply names it, or is an error when none is.
nlohmann::json armed_disarm();
// Cancels what is armed as the mount goes, with a line on standard error.
void armed_cancel_for_unmount();

// For status: what is armed (null when nothing), and the last order that
// took effect (null before the first) with the instants asked and reached.
nlohmann::json armed_status();
nlohmann::json armed_last();

// The timer's descriptor, to be polled, when an order is armed.
void armed_wanted(std::vector<pollfd> &fds);
// Carries out the order if poll found its instant come.
void armed_serve(const std::vector<pollfd> &fds);
