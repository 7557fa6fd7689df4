// The metrics file: the daemon's figures in the Prometheus text format,
// for a node exporter's textfile collector.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// The whole file as of `now` (seconds) and `now_ms` (milliseconds, for the
// main-loop stall), every figure with its HELP and TYPE lines.
std::string FormatMetrics(std::time_t now, std::int64_t now_ms);

// With [metrics] textfile set in korvd.conf, replaces that file atomically
// with FormatMetrics as of `now`. A failed write is logged once until the error changes
// or a write succeeds: the status tick would repeat it every 3 seconds.
void WriteMetricsFile(std::time_t now);
