// The agent's metrics scraped by a real Prometheus: every simulated controller's info series and
// an injected event counted under its class and severity; promtool accepts the exposition, the
// endpoint keeps a scraper's connection, and the text file carries the same text.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "support/PrometheusQuery.h"
#include "support/SimProcess.h"
#include "support/TestSupport.h"

using namespace testing_support;
using nlohmann::json;

namespace {

std::string Get(const std::string& url) {
    std::string out, err;
    RunProgram({"/usr/bin/curl", "-fsS", "--max-time", "5", url}, &out, &err,
               std::chrono::seconds(10));
    return out;
}

TEST(AgentMetrics, PrometheusScrapesTheControllersAndTheirEvents) {
    const uint16_t metricsPort = FreeLoopbackPort(), promPort = FreeLoopbackPort();
    AgentProcess agent;
    const std::string textfile = agent.dir() + "/pellomar.prom";
    WriteFile(agent.dir() + "/pellomar.conf",
              "[metrics]\nlisten = \"127.0.0.1:" + std::to_string(metricsPort) +
                  "\"\ntextfile = \"" + textfile + "\"\n");
    SimProcess sim;
    const json cfg = {
        {"ports",
         {{{"port", 0},
           {"units",
            {{{"unit", 0}, {"serial", "MET-SN-01"}}, {{"unit", 1}, {"serial", "MET-SN-02"}}}}},
          {{"port", 3}, {"units", {{{"unit", 0}, {"serial", "MET-SN-03"}}}}}}}};
    ASSERT_TRUE(sim.Start(agent.dir() + "/dev", cfg));
    ASSERT_TRUE(agent.Start());
    ASSERT_TRUE(
        sim.Ctl({{"cmd", "inject-event"}, {"port", 0}, {"unit", 0}, {"name", "disk-offline"}})
            .value("ok", false));

    const std::string url = "http://127.0.0.1:" + std::to_string(metricsPort) + "/metrics";
    std::string text;
    ASSERT_TRUE(WaitFor(
        [&] {
            text = Get(url);
            return text.find("event=\"disk\"") != std::string::npos;
        },
        std::chrono::seconds(20)))
        << text;

    // The endpoint keeps the connection between two scrapes: curl opens one for the first and
    // reuses it for the second.
    std::string connects, curlErr;
    EXPECT_EQ(RunProgram({"/usr/bin/curl", "-fsS", "--max-time", "5", "-o", "/dev/null", "-o",
                          "/dev/null", "-w", "%{num_connects}\n", url, url},
                         &connects, &curlErr, std::chrono::seconds(10)),
              0)
        << curlErr;
    EXPECT_EQ(connects, "1\n0\n");

    // promtool reads the exposition without a complaint.
    TempDir work;
    WriteFile(work.File("metrics.txt"), text);
    std::string out, err;
    EXPECT_EQ(RunProgram({"/bin/sh", "-c", "promtool check metrics < " + work.File("metrics.txt")},
                         &out, &err),
              0)
        << out << err;
    EXPECT_TRUE(WaitFor(
        [&] { return ReadFile(textfile).find("pellomar_controller_info") != std::string::npos; },
        std::chrono::seconds(20)));

    // A real Prometheus scraping every second.
    WriteFile(work.File("prometheus.yml"),
              "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: pellomar\n"
              "    static_configs:\n      - targets: ['127.0.0.1:" +
                  std::to_string(metricsPort) + "']\n");
    ChildProcess prom;
    ASSERT_TRUE(prom.Start({"/usr/bin/prometheus", "--config.file=" + work.File("prometheus.yml"),
                            "--storage.tsdb.path=" + work.File("data"),
                            "--web.listen-address=127.0.0.1:" + std::to_string(promPort)}));
    json info;
    EXPECT_TRUE(WaitFor(
        [&] {
            info = PrometheusQuery(promPort, "pellomar_controller_info");
            return info.is_array() && info.size() == 3;
        },
        std::chrono::seconds(60)))
        << info.dump() << prom.Stderr();
    std::string serials;
    for (const json& s : info)
        serials += s["metric"].value("serial", "") + " ";
    for (const char* sn : {"MET-SN-01", "MET-SN-02", "MET-SN-03"})
        EXPECT_NE(serials.find(sn), std::string::npos) << serials;
    json counted;
    EXPECT_TRUE(WaitFor(
        [&] {
            counted = PrometheusQuery(
                promPort, "pellomar_events_total{event=\"disk\",severity=\"critical\"}");
            return counted.is_array() && !counted.empty();
        },
        std::chrono::seconds(30)))
        << counted.dump();
    if (counted.is_array() && !counted.empty()) {
        EXPECT_EQ(counted[0]["metric"].value("controller", ""), "0");
        EXPECT_EQ(counted[0]["value"][1].get<std::string>(), "1");
    }
    prom.Signal(15);
    prom.Wait(std::chrono::seconds(10));
    EXPECT_EQ(agent.Stop(), 0);
    sim.Stop();
}

}  // namespace
