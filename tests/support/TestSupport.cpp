#include "support/TestSupport.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "base/ServerLog.h"
#include "guiserver/GuiListener.h"

namespace fs = std::filesystem;

namespace testing_support {

TempDir::TempDir() {
    // A fresh name under the temporary directory; created exclusively, so never shared.
    std::random_device rd;
    std::mt19937_64 gen((static_cast<uint64_t>(rd()) << 32) ^ rd());
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "pellomar-test-%016llx",
                      static_cast<unsigned long long>(gen()));
        fs::path p = base / name;
        if (fs::create_directory(p, ec) && !ec) {
            path_ = p.string();
            return;
        }
    }
    ADD_FAILURE() << "cannot create a temporary folder";
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
}

ServerDirScope::ServerDirScope() {
    SetServerDir(dir_.path().c_str());
}
ServerDirScope::~ServerDirScope() {
    SetServerDir("");
}
std::string ServerDirScope::Log() const {
    std::string text = ReadFile(dir_.File("ServerLog.txt"));
    std::string out;
    out.reserve(text.size());
    for (size_t k = 0; k < text.size(); ++k)
        if (!(text[k] == '\r' && k + 1 < text.size() && text[k + 1] == '\n')) out += text[k];
    return out;
}

gui::Endpoint TestServer() {
    static std::atomic<uint16_t> port{0};
    static bool started = [] {
        std::thread([] { GuiServerListen(0, &port); }).detach();
        return true;
    }();
    (void)started;
    WaitFor([] { return port.load() != 0; });
    gui::Endpoint ep;
    ep.host = "127.0.0.1";
    ep.port = port.load();
    ep.timeoutMs = 10000;
    return ep;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        size_t len = end - start;
        if (len > 0 && text[start + len - 1] == '\r') --len;
        out.push_back(text.substr(start, len));
        start = end + 1;
    }
    return out;
}

bool WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::pair<plat::Socket, plat::Socket> LoopbackPair() {
    plat::Socket listener(plat::SockTcpListen(0x7F000001, 0, 4, nullptr, 0));
    uint16_t port = plat::SockLocalPort(listener.Get());
    plat::Socket client(plat::SockTcpConnect("127.0.0.1", port, 5000, nullptr, 0));
    plat::Socket server(plat::SockAccept(listener.Get()));
    return {std::move(client), std::move(server)};
}

bool SendAll(plat::SockFd s, const gui::Bytes& b) {
    size_t off = 0;
    while (off < b.size()) {
        int n = plat::SockSend(s, b.data() + off, static_cast<int>(b.size() - off));
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

gui::Bytes RecvUntilClose(plat::SockFd s, int timeoutMs, bool* closed) {
    gui::Bytes out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    *closed = false;
    uint8_t buf[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return out;
        int n = plat::SockRecvTimeout(s, buf, sizeof buf, static_cast<int>(left.count()));
        if (n == 0) {
            *closed = true;
            return out;
        }
        if (n < 0) {
            *closed = n == -1;
            return out;
        }
        out.insert(out.end(), buf, buf + n);
    }
}

}  // namespace testing_support

#ifndef _WIN32

namespace testing_support {

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::vector<std::string>& env) {
    std::string outPath = out_.File("stdout"), errPath = out_.File("stderr");
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        for (const auto& kv : env) {
            auto eq = kv.find('=');
            std::string name = kv.substr(0, eq);
            if (eq == kv.size() - 1)
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), kv.substr(eq + 1).c_str(), 1);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    pid_ = pid;
    reaped_ = false;
    return true;
}

bool ChildProcess::Running() {
    if (pid_ <= 0 || reaped_) return false;
    pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) reaped_ = true;
    return !reaped_;
}

void ChildProcess::Signal(int sig) {
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    WaitFor([this] { return !Running(); }, timeout);
    if (!reaped_) return -1;
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return -1;
}

std::string ChildProcess::Stdout() const {
    return ReadFile(out_.File("stdout"));
}
std::string ChildProcess::Stderr() const {
    return ReadFile(out_.File("stderr"));
}

int RunProgram(const std::vector<std::string>& argv, std::string* out, std::string* err,
               std::chrono::milliseconds timeout, const std::string& cwd) {
    ChildProcess p;
    if (!p.Start(argv, cwd)) return -1;
    int code = p.Wait(timeout);
    if (out != nullptr) *out = p.Stdout();
    if (err != nullptr) *err = p.Stderr();
    return code;
}

}  // namespace testing_support

namespace testing_support {

AgentLock::AgentLock(std::chrono::milliseconds timeout) {
    fd_ = open("/tmp/pellomar-agent-test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        ADD_FAILURE() << "cannot open the agent test lock";
        return;
    }
    bool got = WaitFor([this] { return flock(fd_, LOCK_EX | LOCK_NB) == 0; }, timeout);
    if (!got) ADD_FAILURE() << "another test kept the agent test lock too long";
}

AgentLock::~AgentLock() {
    if (fd_ >= 0) close(fd_);
}

gui::Endpoint AgentEndpoint() {
    gui::Endpoint ep;
    ep.host = "127.0.0.1";
    ep.port = 8922;
    ep.timeoutMs = 10000;
    return ep;
}

bool AgentProcess::Start(const std::vector<std::string>& companions, const std::string& cwd,
                         const std::vector<std::string>& env) {
    gui::Bytes alive = gui::EchoRequest(5, "up?");
    gui::Endpoint probe = AgentEndpoint();
    probe.timeoutMs = 500;
    if (gui::Exchange(probe, alive).ok) {
        ADD_FAILURE() << "another agent already serves port 8922; end it first";
        return false;
    }
    std::error_code ec;
    std::vector<std::string> names = companions;
    names.insert(names.begin(), "pellomar");
    for (const auto& n : names) {
        fs::copy_file(BinPath(n), dir_.File(n), fs::copy_options::overwrite_existing, ec);
        if (ec) {
            ADD_FAILURE() << "cannot copy " << n << ": " << ec.message();
            return false;
        }
    }
    std::vector<std::string> fullEnv = {"DISPLAY=", "WAYLAND_DISPLAY="};
    fullEnv.insert(fullEnv.end(), env.begin(), env.end());
    if (!proc_.Start({dir_.File("pellomar")}, cwd.empty() ? dir_.path() : cwd, fullEnv))
        return false;
    bool up = WaitFor([&] {
        if (!proc_.Running()) return true;
        gui::Endpoint ep = AgentEndpoint();
        ep.timeoutMs = 500;
        return gui::Exchange(ep, alive).ok;
    });
    return up && proc_.Running();
}

int AgentProcess::Stop(std::chrono::milliseconds timeout) {
    proc_.Signal(SIGTERM);
    return proc_.Wait(timeout);
}

}  // namespace testing_support

#endif  // _WIN32

namespace testing_support {

std::string BinPath(const std::string& name) {
    return std::string(PELLOMAR_BIN_DIR) + "/" + name;
}

std::string SourcePath(const std::string& relative) {
    return std::string(PELLOMAR_SOURCE_DIR) + "/" + relative;
}

std::string BuildPath(const std::string& relative) {
    return std::string(PELLOMAR_BUILD_DIR) + "/" + relative;
}

}  // namespace testing_support
