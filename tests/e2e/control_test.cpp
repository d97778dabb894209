// The control socket end to end: every request and its reply, a cut ordered
// while writers run, sync before a cut, fire, refusals of other users and
// of bad input with the mount still serving, a stale socket, many clients.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include <nlohmann/json.hpp>

#include "mounted.h"

namespace {

// One connection to a control socket.
class control_client {
public:
    explicit control_client(const std::string &path)
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~control_client()
    {
        if (fd_ != -1)
            close(fd_);
    }
    control_client(const control_client &) = delete;
    control_client &operator=(const control_client &) = delete;

    bool connected() const { return fd_ != -1; }

    // Sends a line as it is and reads one reply line.
    nlohmann::json ask(const std::string &line)
    {
        const std::string sent = line + "\n";
        if (send(fd_, sent.data(), sent.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(sent.size()))
            return nullptr;
        return next_reply();
    }

    nlohmann::json next_reply()
    {
        while (buffer_.find('\n') == std::string::npos) {
            char chunk[4096];
            const ssize_t got = read(fd_, chunk, sizeof chunk);
            if (got <= 0)
                return nullptr;
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
        const std::string line = buffer_.substr(0, buffer_.find('\n'));
        buffer_.erase(0, line.size() + 1);
        return nlohmann::json::parse(line, nullptr, false);
    }

private:
    int fd_ = -1;
    std::string buffer_;
};

struct controlled {
    temp_dir work;
    std::string socket = work / "control";
    mounted fs;
    explicit controlled(const std::string &rules = "")
        : fs(mount_settings{{"-control=" + socket, "-o",
                             "attr_timeout=0,entry_timeout=0,negative_timeout=0,direct_io", "-quiet"},
                            rules, 9, {}})
    {
    }
};

TEST(Control, EveryRequestIsAnsweredAndBadInputOnlyGetsAnError)
{
    controlled c("[errinj_errno.reads]\nop_regexp = ^read$\nprobability = 0\n");
    control_client client(c.socket);
    ASSERT_TRUE(client.connected());
    struct stat st;
    ASSERT_EQ(stat(c.socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const struct {
        std::string request;
        bool ok;
        const char *field;  // one the reply must hold
    } cases[] = {
        {"status", true, "unsynced"},
        {"sync", true, "ok"},
        {"reload", true, "complaints"},
        {"fire nothing", false, "error"},
        {"fire", false, "error"},
        {"cut persist=500", false, "error"},
        {"cut block=1000", false, "error"},
        {"cut names=sometimes", false, "error"},
        {"cut colour=red", false, "error"},
        {"status now", false, "error"},
        {"explode", false, "error"},
        {"", false, "error"},
        {std::string(5000, 'x'), false, "error"},
        {"\xff\xfe binary", false, "error"},
    };
    for (const auto &request : cases) {
        const nlohmann::json reply = client.ask(request.request);
        ASSERT_TRUE(reply.is_object()) << request.request.substr(0, 40);
        EXPECT_EQ(reply.value("ok", !request.ok), request.ok) << request.request.substr(0, 40) << reply;
        EXPECT_TRUE(reply.contains(request.field)) << reply;
    }
    const nlohmann::json status = client.ask("status");
    EXPECT_EQ(status["seed"], 9);
    EXPECT_EQ(status["power"], "on");
    EXPECT_EQ(status["rules"][0]["name"], "errinj_errno.reads");

    // fire: the next check that passes the filters fires once.
    write_file(c.fs.base("data"), "rows");
    EXPECT_EQ(client.ask("fire errinj_errno.reads")["armed"], true);
    EXPECT_EQ(read_file(c.fs.at("data")), "") << "the armed rule did not fire";
    EXPECT_EQ(read_file(c.fs.at("data")), "rows") << "it fired twice";
    EXPECT_EQ(client.ask("status")["rules"][0]["fires"], 1);

    // A cut, then power-on, each in its reply and its lines.
    const nlohmann::json cut = client.ask("cut");
    EXPECT_EQ(cut["ok"], true) << cut;
    EXPECT_EQ(client.ask("status")["power"], "off");
    EXPECT_EQ(client.ask("cut")["ok"], false) << "cut twice";
    EXPECT_EQ(stat(c.fs.at("data").c_str(), &st), -1);
    EXPECT_EQ(stat(c.fs.mount().c_str(), &st), 0) << "the root answers";
    EXPECT_EQ(client.ask("power-on")["power"], "on");
    EXPECT_EQ(read_file(c.fs.at("data")), "rows");
    EXPECT_NE(c.fs.out().find("power cut ordered through the control socket\n"), std::string::npos);
    EXPECT_NE(c.fs.out().find("power restored\n"), std::string::npos);
    EXPECT_EQ(WEXITSTATUS(c.fs.unmount()), 0);
    EXPECT_EQ(access(c.socket.c_str(), F_OK), -1) << "the socket stayed";
}

// After sync a cut loses nothing; without it, every unsynced write goes,
// and no write of the writers racing the ordered cut escapes it.
TEST(Control, SyncKeepsAndAnOrderedCutStopsEveryWriter)
{
    controlled c;
    control_client client(c.socket);
    write_file(c.fs.at("kept"), "written through the mount, never fsynced");
    EXPECT_EQ(client.ask("status")["unsynced"]["names"], 1);
    EXPECT_EQ(client.ask("sync")["ok"], true);
    EXPECT_EQ(client.ask("status")["unsynced"]["files"], 0);

    constexpr int WRITERS = 4;
    for (int w = 0; w < WRITERS; ++w)
        write_file(c.fs.base("w" + std::to_string(w)), "");
    std::atomic<int> writes{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; ++w)
        writers.emplace_back([&, w] {
            const int fd = open(c.fs.at("w" + std::to_string(w)).c_str(), O_WRONLY);
            for (int i = 0; i < 100000; ++i, ++writes)
                if (pwrite(fd, "data", 4, (i % 1000) * 4) != 4)
                    break;
            close(fd);
        });
    while (writes < 200)
        std::this_thread::yield();
    const nlohmann::json cut = client.ask("cut");
    for (std::thread &writer : writers)
        writer.join();
    EXPECT_EQ(cut["ok"], true) << cut;
    EXPECT_EQ(cut["names_undone"], 0);
    EXPECT_EQ(read_file(c.fs.base("kept")), "written through the mount, never fsynced");
    for (int w = 0; w < WRITERS; ++w)
        EXPECT_EQ(read_file(c.fs.base("w" + std::to_string(w))), "") << w;
    EXPECT_EQ(client.ask("power-on")["ok"], true);
    EXPECT_EQ(WEXITSTATUS(c.fs.unmount()), 0);
}

// Another user is refused, with a line; many clients at once are served;
// the mount serves throughout.
TEST(Control, OnlyItsUserTalksToItAndManyAtOnce)
{
    controlled c;
    const std::string path = c.socket;
    ASSERT_EQ(chmod(c.work.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);  // so that only the credentials stop them
    const int stranger = in_child([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return 100;
        control_client client(path);
        const nlohmann::json reply = client.next_reply();
        return reply.is_object() && reply.value("ok", true) == false ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(stranger) && WEXITSTATUS(stranger) == 0) << stranger;
    EXPECT_NE(c.fs.err().find("control: refused a connection from uid 65534\n"), std::string::npos)
        << c.fs.err();

    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t)
        clients.emplace_back([&] {
            control_client client(path);
            for (int i = 0; i < 50; ++i)
                answered += client.ask("status").value("ok", false);
        });
    write_file(c.fs.at("meanwhile"), "served");
    for (std::thread &client : clients)
        client.join();
    EXPECT_EQ(answered, 400);
    EXPECT_EQ(read_file(c.fs.at("meanwhile")), "served");
    EXPECT_EQ(WEXITSTATUS(c.fs.unmount()), 0);
}

// A dead daemon's socket is taken over; anything else at the path is not.
TEST(Control, AStaleSocketIsReplacedAndNothingElseIs)
{
    const temp_dir work;
    const std::string path = work / "control";
    const int dead = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(dead, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(dead);
    {
        mounted fs(mount_settings{{"-control=" + path}, "", 1, {}});
        control_client client(path);
        EXPECT_EQ(client.ask("status")["ok"], true);
        EXPECT_EQ(WEXITSTATUS(fs.unmount()), 0);
    }
    write_file(path, "not a socket");
    const temp_dir mount_point, base;
    const run_result run = run_tavrin({mount_point.path(), "-basedir=" + base.path(),
                                       "-control=" + path, "-f"});
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1) << run.status;
    EXPECT_NE(run.err.find("control ('" + path + "') cannot listen: something is there already"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(read_file(path), "not a socket");
}

// tavrin-run names a socket for the command, which can cut from inside.
TEST(Control, TavrinRunHandsTheCommandItsSocket)
{
    const temp_dir base;
    const std::string ctl = std::string(TAVRIN_RUN_BINARY).substr(0, std::string(TAVRIN_RUN_BINARY).rfind('/')) + "/tavrin-ctl";
    const int status = in_child([&] {
        freopen("/dev/null", "w", stderr);
        exec_or_exit({TAVRIN_RUN_BINARY, base.path(), "--", "sh", "-c",
                      "echo unsynced > file && '" + ctl + "' \"$TAVRIN_CONTROL\" cut >/dev/null && "
                      "'" + ctl + "' \"$TAVRIN_CONTROL\" status | grep -q '\"power\":\"off\"' && "
                      "'" + ctl + "' \"$TAVRIN_CONTROL\" power-on >/dev/null && ! test -e file"},
                     126);
        return 126;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(access((base / "file").c_str(), F_OK), -1) << "the new file survived the cut";
}

// Orders for an instant: every bad at=, an order replaced, shown, disarmed
// and cancelled by the unmount.
TEST(Control, AnOrderForAnInstantIsArmedReplacedShownAndCancelled)
{
    controlled c;
    control_client client(c.socket);
    for (const char *request :
         {"cut at=1", "cut at=+0", "cut at=soon", "cut at=+", "cut at=-1", "cut at=1e400",
          "cut at=+abc", "cut at=", "power-on at=2", "power-on kill=mount", "status at=+1",
          "sync at=+1", "reload at=+1", "fire x at=+1", "disarm"}) {
        const nlohmann::json reply = client.ask(request);
        EXPECT_EQ(reply.value("ok", true), false) << request << " " << reply;
        EXPECT_TRUE(reply.contains("error")) << request;
    }
    EXPECT_TRUE(client.ask("status")["armed"].is_null());

    const nlohmann::json first = client.ask("cut at=+600 kill=none");
    ASSERT_EQ(first["ok"], true) << first;
    EXPECT_FALSE(first.contains("replaced"));
    const nlohmann::json second = client.ask("cut at=+900 persist=50");
    EXPECT_EQ(second["replaced"]["at"], first["at"]) << second;
    EXPECT_EQ(second["replaced"]["keys"], "kill=none");
    const nlohmann::json armed = client.ask("status")["armed"];
    EXPECT_EQ(armed["request"], "cut");
    EXPECT_EQ(armed["at"], second["at"]);
    EXPECT_EQ(armed["keys"], "persist=50");
    EXPECT_EQ(client.ask("disarm")["disarmed"]["at"], second["at"]);
    EXPECT_TRUE(client.ask("status")["armed"].is_null());

    // What an armed cut does, it does at its instant: here, soon.
    write_file(c.fs.at("unsynced"), "lost at the instant");
    const nlohmann::json soon = client.ask("cut at=+0.2");
    ASSERT_EQ(soon["ok"], true) << soon;
    EXPECT_EQ(client.ask("status")["power"], "on") << "it took effect at once";
    nlohmann::json last;
    for (int i = 0; i < 1000 && !(last = client.ask("status")["last_armed"]).is_object(); ++i)
        poll(nullptr, 0, 10);
    ASSERT_TRUE(last.is_object());
    EXPECT_EQ(last["at"], soon["at"]);
    EXPECT_GE(last["happened"].get<double>(), soon["at"].get<double>());
    EXPECT_EQ(last["reply"]["files"], 1) << last;
    EXPECT_EQ(client.ask("status")["power"], "off");
    EXPECT_EQ(client.ask("power-on")["ok"], true);
    EXPECT_EQ(access(c.fs.base("unsynced").c_str(), F_OK), -1);

    EXPECT_EQ(client.ask("power-on at=+600")["ok"], true);
    EXPECT_EQ(WEXITSTATUS(c.fs.unmount()), 0);
    EXPECT_NE(c.fs.err().find("control: the power-on armed for "), std::string::npos) << c.fs.err();
    EXPECT_NE(c.fs.err().find(" is cancelled: the mount is going\n"), std::string::npos);
}

// Runs tavrin-ctl with these words; its exit status and standard output.
std::pair<int, nlohmann::json> tavrin_ctl(const std::string &words)
{
    const std::string run = std::string(TAVRIN_RUN_BINARY);
    const std::string command = "timeout 30 '" + run.substr(0, run.rfind('/')) + "/tavrin-ctl' " +
                                words + " 2>/dev/null";
    FILE *out = popen(command.c_str(), "r");
    std::string text;
    char chunk[4096];
    for (std::size_t got; (got = fread(chunk, 1, sizeof chunk, out)) > 0;)
        text.append(chunk, got);
    const int status = pclose(out);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            nlohmann::json::parse(text, nullptr, false)};
}

// Three mounts cut at one instant: each loses exactly what it never
// synced. One socket that cannot be reached, or that does not answer,
// leaves nothing armed anywhere.
TEST(Control, ManyMountsAreCutAtOneInstant)
{
    controlled nodes[3];
    std::string sockets;
    for (int n = 0; n < 3; ++n) {
        sockets += " '" + nodes[n].socket + "'";
        const int fd = open(nodes[n].fs.at("synced").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_EQ(write(fd, "kept", 4), 4);
        ASSERT_EQ(fsync(fd), 0);
        close(fd);
        const int dir = open(nodes[n].fs.mount().c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_EQ(fsync(dir), 0);
        close(dir);
        write_file(nodes[n].fs.at("unsynced" + std::to_string(n)), "lost");
    }

    // A socket that takes the request and hangs up without a reply.
    const temp_dir elsewhere;
    const std::string mute = elsewhere / "mute";
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, mute.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    std::thread hang_up([listener] {
        const int fd = accept(listener, nullptr, nullptr);
        char request[256];
        if (read(fd, request, sizeof request) > 0)
            close(fd);
    });
    for (const std::string &odd : {"'" + mute + "'", "'" + (elsewhere / "none") + "'"}) {
        const auto [status, result] = tavrin_ctl("-all" + sockets + " " + odd + " -- cut");
        EXPECT_EQ(status, 1) << odd;
        EXPECT_EQ(result["ok"], false) << result;
        for (controlled &node : nodes) {
            control_client client(node.socket);
            EXPECT_TRUE(client.ask("status")["armed"].is_null()) << odd;
        }
    }
    hang_up.join();
    close(listener);

    const auto [status, result] = tavrin_ctl("-lead=0.3 -all" + sockets + " -- cut");
    ASSERT_EQ(status, 0) << result;
    double earliest = 1e300, latest = 0;
    for (int n = 0; n < 3; ++n) {
        const nlohmann::json &reply = result["replies"][nodes[n].socket];
        EXPECT_EQ(reply["files"], 1) << reply;
        EXPECT_EQ(reply["at"], result["at"]);
        earliest = std::min(earliest, reply["happened"].get<double>());
        latest = std::max(latest, reply["happened"].get<double>());
        EXPECT_GE(reply["happened"].get<double>(), result["at"].get<double>());
        EXPECT_EQ(read_file(nodes[n].fs.base("synced")), "kept");
        EXPECT_EQ(access(nodes[n].fs.base("unsynced" + std::to_string(n)).c_str(), F_OK), -1);
    }
    EXPECT_DOUBLE_EQ(result["spread"].get<double>(), latest - earliest);
    const auto [powered, on] = tavrin_ctl("-all" + sockets + " -- power-on");
    EXPECT_EQ(powered, 0) << on;
    for (controlled &node : nodes)
        EXPECT_EQ(WEXITSTATUS(node.fs.unmount()), 0);
}

}  // namespace
