#include "guiserver/GuiListener.h"

#include <semaphore>

#include "guiserver/RequestDispatch.h"
#include "platform/HostPaths.h"
#include "platform/Threads.h"

std::atomic<int32_t> GuiConnCount{0};

namespace {

// One unit per connection thread that may live. The listener takes a unit before it accepts;
// EndConnThread gives it back, so accepting resumes as soon as a thread ends.
std::counting_semaphore<MAX_GUI_CONN>& ConnSlots() {
    static auto* slots = new std::counting_semaphore<MAX_GUI_CONN>(MAX_GUI_CONN);
    return *slots;
}

void ConnThreadMain(void* arg) {
    EnableServerSerive(static_cast<plat::SockFd>(reinterpret_cast<intptr_t>(arg)));
}

}  // namespace

void ThreadBuildGuiServer() {
    GuiServerListen(GUI_SERVER_PORT, nullptr);
}

void GuiServerListen(uint16_t port, std::atomic<uint16_t>* boundPort) {
    plat::SockStartup();
    plat::SockFd listenSock = plat::kInvalidSock;
    // The listen backlog is the host's maximum: with a short queue a burst of clients loses its
    // connection requests and waits seconds for the retransmissions.
    while ((listenSock = plat::SockTcpListen(0, port, plat::SockMaxBacklog(), nullptr, 0)) ==
           plat::kInvalidSock) {
        plat::SleepMs(GUI_LISTEN_RETRY_MS);
    }
    if (boundPort != nullptr) boundPort->store(plat::SockLocalPort(listenSock));
    GuiConnCount.store(0);

    // Kept for the life of the process: connection threads may run until it ends.
    auto* launcher = new plat::ConnThreadLauncher(MAX_GUI_CONN, GUI_CONN_STACK_SIZE);
    for (;;) {
        ConnSlots().acquire();
        plat::SockFd sock = plat::SockAccept(listenSock);
        if (sock == plat::kInvalidSock) {
            ConnSlots().release();
            plat::SleepMs(1);  // out of descriptors, say: do not spin
            continue;
        }
        GuiConnCount.fetch_add(1);
        void* arg = reinterpret_cast<void*>(static_cast<intptr_t>(sock));
        if (!launcher->Start(&ConnThreadMain, arg)) {
            // No thread for it: close the connection and take the count back.
            plat::SockClose(sock);
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
