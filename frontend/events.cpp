// A self-pipe: signal handlers write a byte, the thread reads it and acts
// under the hook's lock, where a handler may not.
#include "events.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <vector>

#include "../control/server.h"
#include "../injection/hook.h"

namespace {

int wake_pipe[2] = {-1, -1};
pthread_t thread;
bool running = false;
bool reread_on_hangup = false;
bool controlled = false;

constexpr char HANGUP = 'h';
constexpr char STOP = 's';

void on_hangup(int)
{
    const int saved = errno;
    const char byte = HANGUP;
    if (write(wake_pipe[1], &byte, 1) < 0) {
        // A full pipe already holds a wake-up: nothing is lost.
    }
    errno = saved;
}

void *serve(void *)
{
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign(1, {wake_pipe[0], POLLIN, 0});
        control_wanted(fds);
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            perror("poll");
            return nullptr;
        }
        control_serve(fds);
        if (!(fds[0].revents & POLLIN))
            continue;
        char byte = 0;
        if (read(wake_pipe[0], &byte, 1) != 1)
            continue;
        if (byte == STOP)
            return nullptr;
        if (byte == HANGUP)
            injection_reread();
    }
}

}  // namespace

void events_reread_on_hangup(bool reread)
{
    reread_on_hangup = reread;
}

void events_serve_control(bool serve)
{
    controlled = serve;
}

bool events_start()
{
    if (running || (!reread_on_hangup && !controlled))
        return true;
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        perror("pipe");
        return false;
    }
    // The thread waits in poll, so its end of the pipe may block.
    fcntl(wake_pipe[0], F_SETFL, 0);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);  // signals stay the main thread's
    const int started = pthread_create(&thread, nullptr, serve, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (started != 0) {
        errno = started;
        perror("pthread_create");
        return false;
    }
    running = true;
    if (reread_on_hangup) {
        struct sigaction hangup = {};
        hangup.sa_handler = on_hangup;
        hangup.sa_flags = SA_RESTART;
        sigaction(SIGHUP, &hangup, nullptr);
    }
    return true;
}

void events_stop()
{
    if (!running)
        return;
    signal(SIGHUP, SIG_IGN);
    const char byte = STOP;
    while (write(wake_pipe[1], &byte, 1) < 0 && errno == EINTR) {
    }
    pthread_join(thread, nullptr);
    running = false;
    control_close();
    close(wake_pipe[0]);
    close(wake_pipe[1]);
    wake_pipe[0] = wake_pipe[1] = -1;
}
