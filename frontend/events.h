// The daemon's one thread of its own, for what does not arrive as a
// request: SIGHUP, which re-reads the rule file given with -rules (and so
// powers on after a cut), and the control socket's clients. It starts when
// libfuse has set up its own signal handling and the mount is being served,
// and stops, closing the socket, before libfuse returns.
#pragma once

// Set by start-up: SIGHUP re-reads the rules instead of ending the mount
// as libfuse would have it.
void events_reread_on_hangup(bool reread);

// Set by start-up once the control socket listens.
void events_serve_control(bool serve);

// Called when the mount begins to be served and when it ends.
bool events_start();
void events_stop();
