// pellomar-sim run by a test: started on a folder with a configuration, driven through its
// control socket, ended with the test.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "support/TestSupport.h"

namespace testing_support {

class SimProcess {
  public:
    SimProcess() = default;
    ~SimProcess();  // ends the simulator
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts build/bin/pellomar-sim --dir `dir` with `config` (the scenario off unless the
    // configuration turns it on) and waits until its control socket answers. `dir` is the device
    // folder, e.g. <agent dir>/dev.
    bool Start(const std::string& dir, const nlohmann::json& config);

    // One control request ({"cmd": ...}); the reply, or {"ok": false, "error": ...}.
    nlohmann::json Ctl(const nlohmann::json& req) const;
    nlohmann::json Status() const { return Ctl({{"cmd", "status"}}); }
    // The status of one unit (null when there is none).
    nlohmann::json UnitStatus(int port, int unit) const;

    void Stop();
    ChildProcess& process() { return proc_; }
    const std::string& dir() const { return dir_; }

  private:
    std::string dir_;
    TempDir cfgDir_;
    ChildProcess proc_;
};

}  // namespace testing_support
