#include "platform/MetricsExport.h"

namespace plat {

namespace {
constexpr const char* kNotHere = "metrics are not available in the Windows build";
}  // namespace

bool StartMetricsEndpoint(const std::string&, MetricsCollector, std::string* err) {
    if (err != nullptr) *err = kNotHere;
    return false;
}

bool RenderMetricsText(const std::vector<MetricFamilyData>&, std::string*, std::string* err) {
    if (err != nullptr) *err = kNotHere;
    return false;
}

}  // namespace plat
