// The fleet's Prometheus configuration and alert rules (doc/prometheus) on a real Prometheus
// scraping the real agent in front of pellomar-sim: the instance is the host without the port,
// the rules find the labels the agent exports, a critical event alerts with the unit's serial, and
// a unit gone at a rescan alerts with its own serial although the rescan moved another unit onto
// its number.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "support/PrometheusQuery.h"
#include "support/SimProcess.h"
#include "support/TestSupport.h"

using namespace testing_support;
using nlohmann::json;

namespace {

// Waits until `promql` returns `count` series; the last result.
json WaitForSeries(uint16_t port, const std::string& promql, size_t count,
                   std::chrono::seconds timeout = std::chrono::seconds(60)) {
    json r;
    WaitFor(
        [&] {
            r = PrometheusQuery(port, promql);
            return r.is_array() && r.size() == count;
        },
        timeout);
    return r;
}

void Replace(std::string& text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << "prometheus.yml no longer has: " << from;
    text.replace(at, from.size(), to);
}

// doc/prometheus's prometheus.yml and rules in `dir`, scraping and evaluating every second, with
// the one target `agent` and no Alertmanager.
void WriteFleetConfig(const std::string& dir, const std::string& agent) {
    const std::string doc = SourcePath("doc/prometheus");
    std::string cfg = ReadFile(doc + "/prometheus.yml");
    Replace(cfg, "scrape_interval: 30s", "scrape_interval: 1s");
    Replace(cfg, "scrape_timeout: 10s", "scrape_timeout: 1s");
    Replace(cfg, "evaluation_interval: 1m", "evaluation_interval: 1s");
    const size_t from = cfg.find("\nalerting:"), to = cfg.find("\nscrape_configs:");
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos && from < to) << cfg;
    cfg.erase(from, to - from);
    ASSERT_TRUE(WriteFile(dir + "/prometheus.yml", cfg));
    namespace fs = std::filesystem;
    fs::copy_file(doc + "/pellomar.rules.yml", dir + "/pellomar.rules.yml");
    fs::create_directories(dir + "/targets/node");
    ASSERT_TRUE(WriteFile(dir + "/targets/agent.yml", "- targets: ['" + agent + "']\n"));
}

std::string Labels(const json& series) {
    return series.is_array() ? series.dump() : "none";
}

TEST(FleetAlerts, TheRulesWorkOnTheRealAgentsMetrics) {
    const uint16_t metricsPort = FreeLoopbackPort(), promPort = FreeLoopbackPort();
    AgentProcess agent;
    ASSERT_TRUE(
        WriteFile(agent.dir() + "/pellomar.conf",
                  "[metrics]\nlisten = \"127.0.0.1:" + std::to_string(metricsPort) + "\"\n"));
    SimProcess sim;
    json ports = json::array();
    for (int p = 0; p < 3; ++p)
        ports.push_back(
            {{"port", p}, {"units", {{{"unit", 0}, {"serial", "FLEET-SN-" + std::to_string(p)}}}}});
    ASSERT_TRUE(sim.Start(agent.dir() + "/dev", {{"ports", ports}}));
    ASSERT_TRUE(agent.Start());

    TempDir work;
    WriteFleetConfig(work.path(), "127.0.0.1:" + std::to_string(metricsPort));
    if (HasFatalFailure()) return;
    ChildProcess prom;
    ASSERT_TRUE(prom.Start({"/usr/bin/prometheus", "--config.file=" + work.File("prometheus.yml"),
                            "--storage.tsdb.path=" + work.File("data"),
                            "--web.listen-address=127.0.0.1:" + std::to_string(promPort)}));

    // The target's instance is the host, and the recorded unit list holds the three units.
    json r = WaitForSeries(promPort, "up{job=\"pellomar\",instance=\"127.0.0.1\"} == 1", 1);
    ASSERT_EQ(r.size(), 1u) << Labels(r) << prom.Stderr();
    r = WaitForSeries(promPort, "pellomar:controller_info:last_known{instance=\"127.0.0.1\"}", 3);
    ASSERT_EQ(r.size(), 3u) << Labels(r);

    // Two critical disk events, the second once Prometheus has seen the first: the alert fires
    // with the unit's serial.
    const json diskOffline = {
        {"cmd", "inject-event"}, {"port", 0}, {"unit", 0}, {"name", "disk-offline"}};
    ASSERT_TRUE(sim.Ctl(diskOffline).value("ok", false));
    r = WaitForSeries(promPort, "pellomar_events_total{event=\"disk\",severity=\"critical\"} == 1",
                      1);
    ASSERT_EQ(r.size(), 1u) << Labels(r);
    ASSERT_TRUE(sim.Ctl(diskOffline).value("ok", false));
    r = WaitForSeries(
        promPort,
        "ALERTS{alertname=\"PellomarControllerCriticalEvents\",alertstate=\"firing\","
        "instance=\"127.0.0.1\",controller=\"0\",event=\"disk\",serial=\"FLEET-SN-0\","
        "severity=\"critical\"}",
        1);
    EXPECT_EQ(r.size(), 1u) << Labels(PrometheusQuery(promPort, "ALERTS"));

    // The unit of port 1 goes; the rescan moves FLEET-SN-2 to number 1 and number 2 reads gone.
    // The alert names the missing unit, under the number it had.
    ASSERT_TRUE(sim.Ctl({{"cmd", "remove-unit"}, {"port", 1}, {"unit", 0}}).value("ok", false));
    std::string out, err;
    ASSERT_EQ(RunProgram({BinPath("pellomar-cli"), "controllers"}, &out, &err), 0) << err;
    r = WaitForSeries(promPort, "pellomar_controller_up{controller=\"2\"} == 0", 1);
    ASSERT_EQ(r.size(), 1u) << Labels(r);
    r = WaitForSeries(promPort, "ALERTS{alertname=\"PellomarControllerGone\"}", 1);
    ASSERT_EQ(r.size(), 1u) << Labels(r);
    EXPECT_EQ(r[0]["metric"].value("serial", ""), "FLEET-SN-1") << Labels(r);
    EXPECT_EQ(r[0]["metric"].value("controller", ""), "1") << Labels(r);
    EXPECT_EQ(r[0]["metric"].value("alertstate", ""), "pending") << Labels(r);

    prom.Signal(15);
    prom.Wait(std::chrono::seconds(10));
    EXPECT_EQ(agent.Stop(), 0);
    sim.Stop();
}

}  // namespace
