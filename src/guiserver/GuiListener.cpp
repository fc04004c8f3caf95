#include "guiserver/GuiListener.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <semaphore>

#include "base/ServerLog.h"
#include "guiserver/RequestDispatch.h"
#include "platform/HostPaths.h"
#include "platform/Threads.h"

std::atomic<int32_t> GuiConnCount{0};

namespace {

using Clock = std::chrono::steady_clock;

// One unit per connection thread that may live. The listener takes a unit before it accepts;
// EndConnThread gives it back, so accepting resumes as soon as a thread ends.
std::counting_semaphore<MAX_GUI_CONN>& ConnSlots() {
    static auto* slots = new std::counting_semaphore<MAX_GUI_CONN>(MAX_GUI_CONN);
    return *slots;
}

// The settings in force. Replaced whole; readers keep the copy they took.
std::mutex g_settingsLock;
std::shared_ptr<const GuiPortSettings> g_settings = std::make_shared<const GuiPortSettings>();

std::shared_ptr<const GuiPortSettings> CurrentSettings() {
    std::lock_guard<std::mutex> lock(g_settingsLock);
    return g_settings;
}

// Live connections per source address, kept only while a per-source limit is set.
std::mutex g_sourceLock;
std::map<uint32_t, uint32_t> g_liveBySource;

bool TakeSourceSlot(uint32_t peer, uint32_t limit) {
    std::lock_guard<std::mutex> lock(g_sourceLock);
    uint32_t& n = g_liveBySource[peer];
    if (n >= limit) return false;
    ++n;
    return true;
}

void ReleaseSourceSlot(uint32_t peer) {
    std::lock_guard<std::mutex> lock(g_sourceLock);
    auto it = g_liveBySource.find(peer);
    if (it == g_liveBySource.end()) return;
    if (--it->second == 0) g_liveBySource.erase(it);
}

// Refusals are logged at most once a minute per address and reason, with their count.
constexpr auto REFUSAL_LOG_INTERVAL = std::chrono::minutes(1);
constexpr size_t REFUSAL_TABLE_MAX = 4096;
struct RefusalNote {
    Clock::time_point lastLog{};
    uint32_t unlogged = 0;
    bool logged = false;
};
std::mutex g_refusalLock;
std::map<std::pair<uint32_t, int>, RefusalNote> g_refusals;
std::atomic<uint64_t> g_refusedTotal[GUI_REFUSED_REASONS] = {};
std::atomic<uint64_t> g_servedTotal{0};
std::atomic<void (*)(uint16_t)> g_listeningHook{nullptr};

const char* RefusalText(GuiRefusal reason) {
    switch (reason) {
        case GuiRefusal::NotAllowed:
            return "not in the allow list";
        case GuiRefusal::PerSource:
            return "too many connections from it";
        case GuiRefusal::TimedOut:
            return "timed out";
    }
    return "refused";
}

void NoteRefusal(uint32_t peer, GuiRefusal reason) {
    const Clock::time_point now = Clock::now();
    uint32_t count = 0;
    {
        std::lock_guard<std::mutex> lock(g_refusalLock);
        if (g_refusals.size() >= REFUSAL_TABLE_MAX) {
            // Forget the addresses that were last reported long ago.
            for (auto it = g_refusals.begin(); it != g_refusals.end();)
                it = now - it->second.lastLog >= REFUSAL_LOG_INTERVAL ? g_refusals.erase(it) : ++it;
            if (g_refusals.size() >= REFUSAL_TABLE_MAX) g_refusals.clear();
        }
        RefusalNote& note = g_refusals[{peer, static_cast<int>(reason)}];
        ++note.unlogged;
        if (note.logged && now - note.lastLog < REFUSAL_LOG_INTERVAL) return;
        count = note.unlogged;
        note.unlogged = 0;
        note.lastLog = now;
        note.logged = true;
    }
    char text[plat::SOCK_ADDR_TEXT_MAX];
    plat::SockAddrText(peer, text, sizeof text);
    SrvLog("ThreadBuildGuiServer : connection from %s refused, %s (%u since the last report).\n",
           text, RefusalText(reason), count);
}

// Refuses a connection the listener accepted: counted before it is closed and its slot given
// back, logged after.
void RefuseConn(plat::SockFd sock, uint32_t peer, GuiRefusal reason) {
    g_refusedTotal[static_cast<int>(reason)].fetch_add(1);
    plat::SockClose(sock);
    ConnSlots().release();
    NoteRefusal(peer, reason);
}

// What a connection thread is started with.
struct ConnStart {
    plat::SockFd sock;
    uint32_t peer;
    bool perSource;  // holds a per-source slot
};

void ConnThreadMain(void* arg) {
    std::unique_ptr<ConnStart> start(static_cast<ConnStart*>(arg));
    EnableServerSerive(start->sock);
    if (start->perSource) ReleaseSourceSlot(start->peer);
    EndConnThread();
}

// Opens the listening socket, trying again every GUI_LISTEN_RETRY_MS while the port is taken;
// logs the first failure and then at most one a minute.
plat::SockFd OpenListenSocket(uint32_t addr, uint16_t port) {
    Clock::time_point lastLog{};
    bool logged = false;
    for (;;) {
        char err[128] = {};
        plat::SockFd s = plat::SockTcpListen(addr, port, plat::SockMaxBacklog(), err, sizeof err);
        if (s != plat::kInvalidSock) {
            if (logged) SrvLog("ThreadBuildGuiServer : listening on port %u.\n", port);
            return s;
        }
        const Clock::time_point now = Clock::now();
        if (!logged || now - lastLog >= std::chrono::minutes(1)) {
            char text[plat::SOCK_ADDR_TEXT_MAX];
            plat::SockAddrText(addr, text, sizeof text);
            SrvLog("ThreadBuildGuiServer : cannot listen on %s port %u (%s), trying again.\n", text,
                   port, err);
            lastLog = now;
            logged = true;
        }
        plat::SleepMs(GUI_LISTEN_RETRY_MS);
    }
}

}  // namespace

void SetGuiPortSettings(const GuiPortSettings& settings) {
    auto copy = std::make_shared<const GuiPortSettings>(settings);
    std::lock_guard<std::mutex> lock(g_settingsLock);
    g_settings = std::move(copy);
}

GuiPortSettings GetGuiPortSettings() {
    return *CurrentSettings();
}

uint64_t GuiConnServedTotal() {
    return g_servedTotal.load();
}

void SetGuiListeningHook(void (*hook)(uint16_t port)) {
    g_listeningHook.store(hook);
}

uint64_t GuiRefusedCount(GuiRefusal reason) {
    return g_refusedTotal[static_cast<int>(reason)].load();
}

void NoteGuiTimeout(plat::SockFd, bool sending) {
    g_refusedTotal[static_cast<int>(GuiRefusal::TimedOut)].fetch_add(1);
    const auto s = CurrentSettings();
    if (sending)
        SrvLog("ServerGUITrans : the client took no reply byte for %u s, connection closed.\n",
               s->sendTimeoutS);
    else
        SrvLog("ServerGUITrans : no byte from the client for %u s, connection closed.\n",
               s->idleTimeoutS);
}

void ThreadBuildGuiServer() {
    GuiServerListen(GUI_SERVER_PORT, nullptr);
}

void GuiServerListen(uint16_t port, std::atomic<uint16_t>* boundPort) {
    plat::SockStartup();
    // The address is the one in force when the listener starts. The listen backlog is the
    // host's maximum: with a short queue a burst of clients loses its connection requests and
    // waits seconds for the retransmissions.
    const plat::SockFd listenSock = OpenListenSocket(CurrentSettings()->listenAddr, port);
    const uint16_t bound = plat::SockLocalPort(listenSock);
    if (boundPort != nullptr) boundPort->store(bound);
    GuiConnCount.store(0);
    if (void (*hook)(uint16_t) = g_listeningHook.load(); hook != nullptr) hook(bound);
    // Kept for the life of the process: connection threads may run until it ends.
    auto* launcher = new plat::ConnThreadLauncher(MAX_GUI_CONN, GUI_CONN_STACK_SIZE);
    for (;;) {
        ConnSlots().acquire();
        uint32_t peer = 0;
        plat::SockFd sock = plat::SockAccept(listenSock, &peer);
        if (sock == plat::kInvalidSock) {
            ConnSlots().release();
            plat::SleepMs(1);  // out of descriptors, say: do not spin
            continue;
        }
        // Addresses the settings refuse are closed here, before a thread is started.
        const auto settings = CurrentSettings();
        if (!settings->Allows(peer)) {
            RefuseConn(sock, peer, GuiRefusal::NotAllowed);
            continue;
        }
        const bool perSource = settings->maxPerSource != 0;
        if (perSource && !TakeSourceSlot(peer, settings->maxPerSource)) {
            RefuseConn(sock, peer, GuiRefusal::PerSource);
            continue;
        }
        if (settings->idleTimeoutS != 0 || settings->sendTimeoutS != 0)
            plat::SockSetTimeouts(sock, static_cast<int>(settings->idleTimeoutS * 1000),
                                  static_cast<int>(settings->sendTimeoutS * 1000));
        GuiConnCount.fetch_add(1);
        g_servedTotal.fetch_add(1);
        auto* start = new (std::nothrow) ConnStart{sock, peer, perSource};
        if (start == nullptr || !launcher->Start(&ConnThreadMain, start)) {
            // No thread for it: close the connection and take the counts back.
            delete start;
            plat::SockClose(sock);
            if (perSource) ReleaseSourceSlot(peer);
            EndConnThread();
        }
    }
}

void CloseGuiConn(GuiConn& conn) {
    conn.lReqLen = 0;
    conn.lRepLen = 0;
    plat::SockClose(conn.sock);
    conn.sock = plat::kInvalidSock;
}

void EndConnThread() {
    GuiConnCount.fetch_sub(1);
    ConnSlots().release();
}
