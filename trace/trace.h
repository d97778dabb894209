// The run's trace: JSON Lines, one object per event, each written with one
// write(2) on a file opened for appending, so a daemon killed at any moment
// leaves whole lines up to its last event. Off until trace_open succeeds;
// then every event carries "time_ns", the nanoseconds since trace_open.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

bool trace_open(const char *path);
bool trace_enabled();
void trace_close();

// Writes the event as one line. Callers that trace under the hook's lock
// keep events in the order of the checks.
void trace_write(nlohmann::json event);

// Puts text under key as a JSON string when it is valid UTF-8, otherwise its
// bytes as lower-case hex under key + "_hex", so any path reads back exactly.
void trace_text(nlohmann::json &event, const char *key, const std::string &text);
