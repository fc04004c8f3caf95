// pellomar-sim's transport: one Unix stream socket DIR/ScsiN per port, served by worker threads
// that block in accept (more are started while all are busy, so slow or delayed calls never hold
// up the others), and the control socket DIR/sim.ctl (one JSON request line, one JSON reply
// line per connection).
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "SimDevice.h"

namespace sim {

constexpr const char* kControlSocketName = "sim.ctl";

class SimServer {
  public:
    SimServer(SimDevice& dev, std::string dir, bool verbose);
    ~SimServer();

    // Creates, removes, refuses or resumes the socket of one port (the device's port listener).
    void PortChanged(int port, bool exists, bool refusing);

    // Starts the control socket. False with the reason in *err.
    bool StartControl(std::string* err);

    // Removes every socket file (at exit).
    void RemoveSockets();

    struct Listener;

  private:
    void StartWorker(const std::shared_ptr<Listener>& l);
    void WorkerLoop(std::shared_ptr<Listener> l);
    void ServeCall(int port, int fd, uint8_t* buf, uint32_t* dirty);
    void ControlLoop(int lfd);

    SimDevice& dev_;
    std::string dir_;
    bool verbose_;
    std::mutex mu_;
    std::map<int, std::shared_ptr<Listener>> listeners_;
    int controlFd_ = -1;
};

// Path of socket `name` in `dir`.
std::string SocketPath(const std::string& dir, const std::string& name);

// The reply line (JSON and "\n") to the control request `text` as the control socket receives
// it: the request is handed to dev.Control, text that is not JSON is refused.
std::string ControlReplyLine(SimDevice& dev, const std::string& text);

// Sends one control request to the simulator serving `dir` and returns its reply; on a transport
// failure the reply is {"ok": false, "error": ...}.
json ControlRequest(const std::string& dir, const json& req, int timeoutMs = 10000);

}  // namespace sim
