// Metrics in the Prometheus text format: an HTTP endpoint that serves them, and the text itself
// for a file. The agent hands over plain families of samples, gathered anew for each scrape.
//
// POSIX (Linux): prometheus-cpp's pull exposer and text serializer. Windows: not available;
// StartMetricsEndpoint and RenderMetricsText fail and say so.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace plat {

enum class MetricType { Counter, Gauge };

// One sample: its labels (name, value) and its value.
struct MetricSample {
    std::vector<std::pair<std::string, std::string>> labels;
    double value = 0;
};

// One metric: name, help text, type and its samples.
struct MetricFamilyData {
    std::string name;
    std::string help;
    MetricType type = MetricType::Gauge;
    std::vector<MetricSample> samples;
};

// Gathers the families; called on the endpoint's own threads for every scrape.
using MetricsCollector = std::function<std::vector<MetricFamilyData>()>;

// Serves what `collect` gathers at http://<listen>/metrics (`listen` "address:port") from now
// until the process ends. False, with the reason in *err, when the address cannot be served.
// One endpoint per process.
bool StartMetricsEndpoint(const std::string& listen, MetricsCollector collect, std::string* err);

// The families in the text format. False, with the reason in *err, where it is not available.
bool RenderMetricsText(const std::vector<MetricFamilyData>& families, std::string* text,
                       std::string* err);

}  // namespace plat
