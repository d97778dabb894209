// The control socket's language: one request a line ("cut persist=50
// names=journal"), one JSON object a line in reply, {"ok": true, ...} or
// {"ok": false, "error": "..."}. Nothing a client sends can do more than
// get an error back.
#pragma once

#include <string>

// The reply to one request line, without its line end.
std::string control_answer(const std::string &line);
