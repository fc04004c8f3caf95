#include "platform/MetricsExport.h"

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <exception>
#include <memory>

namespace plat {

namespace {

prometheus::MetricFamily ToFamily(const MetricFamilyData& f) {
    prometheus::MetricFamily out;
    out.name = f.name;
    out.help = f.help;
    out.type = f.type == MetricType::Counter ? prometheus::MetricType::Counter
                                             : prometheus::MetricType::Gauge;
    out.metric.reserve(f.samples.size());
    for (const MetricSample& s : f.samples) {
        prometheus::ClientMetric m;
        for (const auto& [name, value] : s.labels)
            m.label.push_back({name, value});
        if (f.type == MetricType::Counter)
            m.counter.value = s.value;
        else
            m.gauge.value = s.value;
        out.metric.push_back(std::move(m));
    }
    return out;
}

std::vector<prometheus::MetricFamily> ToFamilies(const std::vector<MetricFamilyData>& in) {
    std::vector<prometheus::MetricFamily> out;
    out.reserve(in.size());
    for (const MetricFamilyData& f : in)
        out.push_back(ToFamily(f));
    return out;
}

class Collector : public prometheus::Collectable {
  public:
    explicit Collector(MetricsCollector collect) : collect_(std::move(collect)) {}
    std::vector<prometheus::MetricFamily> Collect() const override {
        return ToFamilies(collect_());
    }

  private:
    MetricsCollector collect_;
};

}  // namespace

bool StartMetricsEndpoint(const std::string& listen, MetricsCollector collect, std::string* err) {
    try {
        // Kept for the life of the process, like the endpoint's threads.
        // Keep-alive: a scraper reuses its connection instead of opening one per scrape. No
        // delay on sending: the reply goes out in several writes, and on a kept connection each
        // later one would wait for the scraper's delayed acknowledgement (some 40 ms a scrape).
        auto* exposer = new prometheus::Exposer(
            std::vector<std::string>{"listening_ports", listen, "num_threads", "2",
                                     "enable_keep_alive", "yes", "tcp_nodelay", "1"});
        static std::shared_ptr<Collector> collector;
        collector = std::make_shared<Collector>(std::move(collect));
        exposer->RegisterCollectable(collector);
        return true;
    } catch (const std::exception& e) {
        if (err != nullptr) *err = e.what();
        return false;
    }
}

bool RenderMetricsText(const std::vector<MetricFamilyData>& families, std::string* text,
                       std::string* err) {
    try {
        *text = prometheus::TextSerializer().Serialize(ToFamilies(families));
        return true;
    } catch (const std::exception& e) {
        if (err != nullptr) *err = e.what();
        return false;
    }
}

}  // namespace plat
