// tavrin-ctl: sends one request to a tavrin control socket and prints the
// reply. Exit status 0 for {"ok": true}, 1 for an error reply, 2 when it
// cannot connect or is used wrongly.
//
// With -all it speaks to many sockets: a cut or a power-on is armed on
// every one for one instant a little ahead (-lead), or for the at= given,
// and tavrin-ctl waits for each to report it before printing one JSON
// object with every socket's reply and the spread of the instants reached.
// Should any socket be unreachable or refuse, nothing stays armed anywhere
// and the exit status is 1.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

const char USAGE[] =
    "usage: tavrin-ctl SOCKET status|cut|power-on|disarm|reload|sync|fire NAME [key=value ...]\n"
    "       tavrin-ctl [-lead=SECONDS] -all SOCKET... -- REQUEST [key=value ...]\n";

int fail(const std::string &why)
{
    fprintf(stderr, "tavrin-ctl: %s\n", why.c_str());
    return 2;
}

double now()
{
    timespec at;
    clock_gettime(CLOCK_REALTIME, &at);
    return static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) / 1e9;
}

// One connection to one socket; requests go one at a time.
class control_link {
public:
    explicit control_link(std::string path) : path_(std::move(path)) {}
    ~control_link()
    {
        if (fd_ != -1)
            close(fd_);
    }
    control_link(const control_link &) = delete;
    control_link &operator=(const control_link &) = delete;

    const std::string &path() const { return path_; }

    // Empty, or why not.
    std::string connect_now()
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        if (path_.size() >= sizeof address.sun_path)
            return path_ + ": the path is too long for a socket";
        strcpy(address.sun_path, path_.c_str());
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ == -1 || connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            return "cannot connect to " + path_ + ": " + strerror(errno);
        return "";
    }

    // The reply line, or nothing with why set.
    std::optional<std::string> ask(std::string request, std::string &why)
    {
        request += "\n";
        for (std::size_t sent = 0; sent < request.size();) {
            const ssize_t n = send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n < 0) {
                why = "cannot send to " + path_ + ": " + strerror(errno);
                return std::nullopt;
            }
            sent += static_cast<std::size_t>(n);
        }
        char buffer[4096];
        while (pending_.find('\n') == std::string::npos) {
            const ssize_t got = read(fd_, buffer, sizeof buffer);
            if (got <= 0) {
                why = path_ + ": the daemon closed the connection without a reply";
                return std::nullopt;
            }
            pending_.append(buffer, static_cast<std::size_t>(got));
        }
        const std::size_t end = pending_.find('\n');
        std::string reply = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return reply;
    }

    // The reply as an object with a boolean "ok", or a made-up error one.
    nlohmann::json ask_json(const std::string &request)
    {
        std::string why;
        const std::optional<std::string> reply = ask(request, why);
        if (!reply)
            return {{"ok", false}, {"error", why}};
        nlohmann::json parsed = nlohmann::json::parse(*reply, nullptr, false);
        if (!parsed.is_object() || !parsed.contains("ok") || !parsed["ok"].is_boolean())
            return {{"ok", false}, {"error", path_ + ": the reply is not a reply"}};
        return parsed;
    }

private:
    std::string path_;
    int fd_ = -1;
    std::string pending_;
};

int one(const std::string &socket_path, const std::string &request)
{
    control_link link(socket_path);
    const std::string why = link.connect_now();
    if (!why.empty())
        return fail(why);
    std::string failure;
    const std::optional<std::string> reply = link.ask(request, failure);
    if (!reply)
        return fail(failure);
    printf("%s\n", reply->c_str());
    const nlohmann::json parsed = nlohmann::json::parse(*reply, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("ok") || !parsed["ok"].is_boolean())
        return fail("the reply is not a reply");
    return parsed["ok"].get<bool>() ? 0 : 1;
}

int print(const nlohmann::json &result)
{
    printf("%s\n", result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return result["ok"].get<bool>() ? 0 : 1;
}

// Arms request on every link, waits for each to carry it out, and reports.
int all_at_once(std::vector<std::unique_ptr<control_link>> &links, const std::string &request,
                double at, bool at_given)
{
    nlohmann::json armed = nlohmann::json::object();
    const std::string armed_request =
        at_given ? request : request + " at=" + std::to_string(at);
    std::string refused;
    std::vector<control_link *> holding;
    for (auto &link : links) {
        nlohmann::json reply = link->ask_json(armed_request);
        if (reply["ok"].get<bool>())
            holding.push_back(link.get());
        else if (refused.empty())
            refused = link->path() + ": " + reply.value("error", "refused");
        armed[link->path()] = std::move(reply);
    }
    if (!refused.empty()) {
        for (control_link *link : holding)
            link->ask_json("disarm");
        return print({{"ok", false},
                      {"error", refused + "; nothing is left armed"},
                      {"armed", armed}});
    }
    // Every daemon read the same instant the same way.
    const double target = armed[links.front()->path()]["at"].get<double>();
    nlohmann::json replies = nlohmann::json::object();
    double earliest = 0, latest = 0;
    bool ok = true;
    const double give_up = std::max(target, now()) + 10;
    for (auto &link : links) {
        nlohmann::json done;
        for (;;) {
            const nlohmann::json status = link->ask_json("status");
            const nlohmann::json &last = status.contains("last_armed") ? status["last_armed"]
                                                                        : nlohmann::json();
            if (last.is_object() && last.value("at", 0.0) == armed[link->path()]["at"]) {
                done = last;
                break;
            }
            if (!status["ok"].get<bool>() || now() > give_up) {
                done = {{"reply", {{"ok", false}, {"error", "no report of the order came"}}}};
                break;
            }
            poll(nullptr, 0, 5);
        }
        const nlohmann::json &reply = done["reply"];
        ok = ok && reply.value("ok", false);
        if (done.contains("happened")) {
            const double happened = done["happened"].get<double>();
            earliest = replies.empty() || happened < earliest ? happened : earliest;
            latest = replies.empty() || happened > latest ? happened : latest;
        }
        replies[link->path()] = reply;
    }
    return print({{"ok", ok}, {"at", target}, {"replies", replies}, {"spread", latest - earliest}});
}

int all(int argc, char **argv)
{
    double lead = 0.2;
    int at = 1;
    for (; at < argc && strcmp(argv[at], "-all") != 0; ++at) {
        if (strncmp(argv[at], "-lead=", 6) != 0)
            return fail(std::string("unknown option ") + argv[at]);
        char *end = nullptr;
        lead = strtod(argv[at] + 6, &end);
        if (end == argv[at] + 6 || *end != '\0' || !(lead > 0 && lead <= 3600))
            return fail("-lead takes seconds, more than 0 and at most 3600");
    }
    std::vector<std::unique_ptr<control_link>> links;
    for (++at; at < argc && strcmp(argv[at], "--") != 0; ++at)
        links.push_back(std::make_unique<control_link>(argv[at]));
    if (links.empty() || at >= argc - 1) {
        fputs(USAGE, stderr);
        return 2;
    }
    const std::string verb = argv[at + 1];
    std::string request = verb;
    bool at_given = false;
    for (int i = at + 2; i < argc; ++i) {
        request += std::string(" ") + argv[i];
        at_given = at_given || strncmp(argv[i], "at=", 3) == 0;
    }
    if (request.find('\n') != std::string::npos)
        return fail("a request is one line");
    for (auto &link : links) {
        const std::string why = link->connect_now();
        if (!why.empty())
            return print({{"ok", false}, {"error", why + "; nothing is armed"}});
    }
    if (verb == "cut" || verb == "power-on")
        return all_at_once(links, request, now() + lead, at_given);
    nlohmann::json replies = nlohmann::json::object();
    bool ok = true;
    for (auto &link : links) {
        nlohmann::json reply = link->ask_json(request);
        ok = ok && reply["ok"].get<bool>();
        replies[link->path()] = std::move(reply);
    }
    return print({{"ok", ok}, {"replies", replies}});
}

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc && argv[i][0] == '-'; ++i)
        if (strcmp(argv[i], "-all") == 0)
            return all(argc, argv);
    if (argc < 3) {
        fputs(USAGE, stderr);
        return 2;
    }
    std::string request = argv[2];
    for (int i = 3; i < argc; ++i)
        request += std::string(" ") + argv[i];
    if (request.find('\n') != std::string::npos)
        return fail("a request is one line");
    return one(argv[1], request);
}
