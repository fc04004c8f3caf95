// The agent's metrics for Prometheus (doc/metrics.md lists every one): gathered from the
// subsystems' own counts at each scrape, served over HTTP ([metrics] listen) and written to a
// file every 15 s ([metrics] textfile), both off by default.
#pragma once

#include <vector>

#include "base/Settings.h"
#include "platform/MetricsExport.h"

// How often the text file is rewritten.
constexpr int METRICS_TEXTFILE_INTERVAL_S = 15;

// Every metric, as of now. Thread-safe; takes no lock a subsystem holds for long.
std::vector<plat::MetricFamilyData> CollectAgentMetrics();

// Starts what `m` asks for, logging each ("Metrics : ..."); nothing when both are off.
void StartAgentMetrics(const MetricsSettings& m);

// Writes the metrics text to `path` whole (through a temporary file). True when written.
bool WriteMetricsTextFile(const char* path);
