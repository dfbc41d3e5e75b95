#pragma once
// The suite's measures. Each runs the service and its baselines in the same run, interleaved
// round by round, and answers with table rows.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support.h"

struct Goal {
    enum class Kind { AtLeast, AtMost, ReportAtLeast } kind;
    double bound;
};

struct Row {
    std::string measure;
    std::string service;
    std::string baseline;
    std::optional<double> ratio; // service / baseline
    Goal goal;
    bool measured = true;
};

struct Report {
    std::vector<Row> rows;
    std::vector<std::string> notes; // context printed under the table
};

// A value with its unit.
std::string formatRate(double bytesPerSecond);
std::string formatMicroseconds(double seconds);
std::string formatMilliseconds(double seconds);
std::string formatMebibytes(long kib);
std::string formatPerSecond(double perSecond);

// ratio: NaN or not positive when either side could not be measured.
Row makeRow(std::string measure, std::string serviceText, std::string baselineText, double ratio, Goal goal);
Row unmeasuredRow(std::string measure, std::string baselineName, Goal goal, std::string why);

void measureRelayThroughput(const BenchConfig &config, Report &report);
void measureRoundTrip(const BenchConfig &config, Report &report);
void measureLaunch(const BenchConfig &config, Report &report);
void measureFirstPrompt(const BenchConfig &config, Report &report);
void measureIdleMemory(const BenchConfig &config, Report &report);
void measureLoggingCost(const BenchConfig &config, Report &report);
void measureSmallWrites(const BenchConfig &config, Report &report);
void measureDapStep(const BenchConfig &config, Report &report);
