// The control socket's connections.
#include "server.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "armed.h"
#include "requests.h"

namespace {

// Replies a client has not read yet, at most: past it the client goes.
constexpr std::size_t MAX_PENDING_REPLIES = 1 << 20;

struct connection {
    int fd = -1;
    std::string in;
    std::string out;
    bool discarding = false;  // the rest of a line that was too long
};

int listening = -1;
std::string socket_path;
std::vector<connection> connections;

bool fill_address(const char *path, sockaddr_un &address)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path)
        return false;
    strcpy(address.sun_path, path);
    return true;
}

// A socket at path that no one answers on is a dead daemon's.
bool stale(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISSOCK(st.st_mode))
        return false;
    sockaddr_un address;
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe == -1 || !fill_address(path, address))
        return false;
    const bool refused = connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
                         errno == ECONNREFUSED;
    close(probe);
    return refused;
}

// Only the daemon's own user and root.
bool peer_allowed(int fd, uid_t &uid)
{
    ucred peer = {};
    socklen_t length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return false;
    uid = peer.uid;
    return peer.uid == 0 || peer.uid == geteuid();
}

void accept_one()
{
    const int fd = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd == -1)
        return;
    uid_t uid = 0;
    if (!peer_allowed(fd, uid)) {
        const char refusal[] = "{\"ok\":false,\"error\":\"only the daemon's own user and root may "
                               "use this socket\"}\n";
        if (write(fd, refusal, sizeof refusal - 1) < 0) {
            // It goes either way.
        }
        close(fd);
        fprintf(stderr, "control: refused a connection from uid %u\n", static_cast<unsigned>(uid));
        return;
    }
    connections.push_back({fd, {}, {}, false});
}

void answer_lines(connection &client)
{
    const std::string too_long = "{\"ok\":false,\"error\":\"request line longer than " +
                                 std::to_string(CONTROL_MAX_LINE) + " bytes\"}\n";
    for (std::size_t end; (end = client.in.find('\n')) != std::string::npos;) {
        std::string line = client.in.substr(0, end);
        client.in.erase(0, end + 1);
        if (client.discarding) {  // its error was said already
            client.discarding = false;
            continue;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        client.out += line.size() > CONTROL_MAX_LINE ? too_long : control_answer(line) + "\n";
    }
    if (client.in.size() > CONTROL_MAX_LINE) {
        if (!client.discarding)
            client.out += too_long;
        client.discarding = true;
        client.in.clear();
    }
}

// False when the connection is done with.
bool serve(connection &client, short events)
{
    if (events & POLLIN) {
        char buffer[4096];
        const ssize_t got = read(client.fd, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        if (got > 0) {
            client.in.append(buffer, static_cast<std::size_t>(got));
            answer_lines(client);
        }
    } else if (events & (POLLHUP | POLLERR)) {
        return false;
    }
    while (!client.out.empty()) {
        const ssize_t sent = send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
        if (sent < 0)
            return errno == EAGAIN || errno == EINTR;
        client.out.erase(0, static_cast<std::size_t>(sent));
    }
    return client.out.size() <= MAX_PENDING_REPLIES;
}

}  // namespace

int control_open(const char *path)
{
    sockaddr_un address;
    if (!fill_address(path, address))
        return -ENAMETOOLONG;
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (!stale(path))
            return -EEXIST;
        unlink(path);
    }
    listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listening == -1)
        return -errno;
    // Made 0600 from the start: no moment in which another user could connect.
    const mode_t old_mask = umask(0177);
    const int bound = bind(listening, reinterpret_cast<sockaddr *>(&address), sizeof address);
    umask(old_mask);
    if (bound != 0 || listen(listening, 16) != 0) {
        const int error = errno;
        close(listening);
        listening = -1;
        return -error;
    }
    socket_path = path;
    return 0;
}

void control_close()
{
    armed_cancel_for_unmount();
    for (connection &client : connections)
        close(client.fd);
    connections.clear();
    if (listening != -1) {
        close(listening);
        listening = -1;
        unlink(socket_path.c_str());
    }
}

void control_wanted(std::vector<pollfd> &fds)
{
    if (listening == -1)
        return;
    armed_wanted(fds);
    fds.push_back({listening, POLLIN, 0});
    for (const connection &client : connections)
        fds.push_back({client.fd, static_cast<short>(POLLIN | (client.out.empty() ? 0 : POLLOUT)), 0});
}

void control_serve(const std::vector<pollfd> &fds)
{
    armed_serve(fds);
    std::vector<connection> still;
    for (const pollfd &ready : fds) {
        if (ready.fd == listening) {
            if (ready.revents & POLLIN)
                accept_one();
            continue;
        }
        for (connection &client : connections) {
            if (client.fd != ready.fd)
                continue;
            if (ready.revents != 0 && !serve(client, ready.revents)) {
                close(client.fd);
                client.fd = -1;
            }
        }
    }
    for (connection &client : connections)
        if (client.fd != -1)
            still.push_back(std::move(client));
    connections.swap(still);
}
