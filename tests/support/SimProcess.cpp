#include "support/SimProcess.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace testing_support {

SimProcess::~SimProcess() {
    Stop();
}

bool SimProcess::Start(const std::string& dir, const nlohmann::json& config) {
    dir_ = dir;
    nlohmann::json cfg = config;
    if (!cfg.contains("scenario")) cfg["scenario"] = {{"enabled", false}};
    const std::string cfgPath = cfgDir_.File("sim.json");
    if (!WriteFile(cfgPath, cfg.dump(2))) return false;
    if (!proc_.Start({BinPath("pellomar-sim"), "--dir", dir, "--config", cfgPath})) return false;
    bool up = WaitFor([&] { return !proc_.Running() || Status().value("ok", false); });
    if (!up || !proc_.Running()) {
        ADD_FAILURE() << "pellomar-sim did not start: " << proc_.Stderr();
        return false;
    }
    return true;
}

nlohmann::json SimProcess::Ctl(const nlohmann::json& req) const {
    auto fail = [](const std::string& why) {
        return nlohmann::json{{"ok", false}, {"error", why}};
    };
    const std::string path = dir_ + "/sim.ctl";
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) return fail("path too long");
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail("socket");
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return fail("connect");
    }
    std::string out = req.dump() + "\n";
    if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
        close(fd);
        return fail("send");
    }
    shutdown(fd, SHUT_WR);
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    nlohmann::json reply = nlohmann::json::parse(text, nullptr, false);
    return reply.is_discarded() ? fail("no reply") : reply;
}

nlohmann::json SimProcess::UnitStatus(int port, int unit) const {
    nlohmann::json st = Status();
    if (!st.value("ok", false)) return nullptr;
    for (const auto& p : st["ports"])
        if (p["port"] == port)
            for (const auto& u : p["units"])
                if (u["unit"] == unit) return u;
    return nullptr;
}

void SimProcess::Stop() {
    if (!proc_.Running()) return;
    proc_.Signal(SIGTERM);
    if (proc_.Wait(std::chrono::seconds(10)) < 0) proc_.Signal(SIGKILL);
}

}  // namespace testing_support
