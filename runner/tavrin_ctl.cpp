// tavrin-ctl: sends one request to a tavrin control socket and prints the
// reply. Exit status 0 for {"ok": true}, 1 for an error reply, 2 when it
// cannot connect or is used wrongly.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

namespace {

const char USAGE[] =
    "usage: tavrin-ctl SOCKET status|cut|power-on|reload|sync|fire NAME [key=value ...]\n";

int fail(const std::string &why)
{
    fprintf(stderr, "tavrin-ctl: %s\n", why.c_str());
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fputs(USAGE, stderr);
        return 2;
    }
    std::string request = argv[2];
    for (int i = 3; i < argc; ++i)
        request += std::string(" ") + argv[i];
    if (request.find('\n') != std::string::npos)
        return fail("a request is one line");

    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (strlen(argv[1]) >= sizeof address.sun_path)
        return fail(std::string(argv[1]) + ": the path is too long for a socket");
    strcpy(address.sun_path, argv[1]);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return fail(std::string("cannot connect to ") + argv[1] + ": " + strerror(errno));
    request += "\n";
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0)
            return fail(std::string("cannot send: ") + strerror(errno));
        sent += static_cast<std::size_t>(n);
    }
    std::string reply;
    char buffer[4096];
    while (reply.find('\n') == std::string::npos) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return fail("the daemon closed the connection without a reply");
        reply.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    reply.erase(reply.find('\n'));
    printf("%s\n", reply.c_str());
    const nlohmann::json parsed = nlohmann::json::parse(reply, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("ok") || !parsed["ok"].is_boolean())
        return fail("the reply is not a reply");
    return parsed["ok"].get<bool>() ? 0 : 1;
}
