// A real Prometheus for the metrics tests: a free loopback port to run it on, and an instant
// query of its HTTP API.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/Socket.h"
#include "support/TestSupport.h"

namespace testing_support {

// A loopback TCP port nobody listened on a moment ago.
inline uint16_t FreeLoopbackPort() {
    plat::Socket s(plat::SockTcpListen(0x7F000001, 0, 1, nullptr, 0));
    return plat::SockLocalPort(s.Get());
}

// The result list of the instant query `promql` on the Prometheus at 127.0.0.1:`port`; an empty
// list when it does not answer.
inline nlohmann::json PrometheusQuery(uint16_t port, const std::string& promql) {
    std::string out, err;
    RunProgram({"/usr/bin/curl", "-fsS", "--max-time", "5", "-G",
                "http://127.0.0.1:" + std::to_string(port) + "/api/v1/query", "--data-urlencode",
                "query=" + promql},
               &out, &err, std::chrono::seconds(10));
    nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
    return j.is_discarded() || !j.contains("data") ? nlohmann::json::array() : j["data"]["result"];
}

}  // namespace testing_support
