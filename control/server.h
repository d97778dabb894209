// The control socket: a Unix stream socket, mode 0600, that only the
// daemon's own user and root may talk to. Many connections at once, many
// requests a connection, each answered in order once it has taken effect.
// A client that sends a line too long, or stops reading its replies, costs
// only its own connection; nothing it does blocks the mount. Driven by the
// daemon's events thread through poll.
#pragma once

#include <poll.h>

#include <vector>

// Listens at path; a socket there of a daemon that is gone is replaced, but
// nothing else is. 0, or the negated errno (EEXIST: something is there).
int control_open(const char *path);
// Closes every connection and removes the socket.
void control_close();

// The descriptors to wait on, appended to fds.
void control_wanted(std::vector<pollfd> &fds);
// Serves what poll found ready among them.
void control_serve(const std::vector<pollfd> &fds);

// The longest request line taken.
constexpr std::size_t CONTROL_MAX_LINE = 4096;
