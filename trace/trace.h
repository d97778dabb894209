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
// keep events in the order of the checks. A string that is not valid UTF-8
// is written as its bytes in lower-case hex under its key + "_hex".
void trace_write(nlohmann::json event);

// Puts a text that may not be UTF-8 (a path, a command name) under key; if
// it is not, trace_write writes its bytes as hex under key + "_hex", so any
// path reads back exactly.
void trace_text(nlohmann::json &event, const char *key, const std::string &text);
