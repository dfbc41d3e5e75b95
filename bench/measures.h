#pragma once
// The suite's measures. Each runs the service and its baselines in the same run, interleaved
// round by round, and answers with table rows.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support.h"

struct Goal {
    // WithinSeconds: the service's own measure, in seconds, is at most bound.
    enum class Kind { AtLeast, AtMost, ReportAtLeast, WithinSeconds } kind;
    double bound;
};

struct Row {
    std::string measure;
    std::string service;
    std::string baseline;
    std::optional<double> ratio; // service / baseline
    Goal goal;
    bool measured = true;
    std::optional<double> seconds; // the service's measure, for a WithinSeconds goal
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
// A row whose goal is the service's own time, seconds (NaN when not measured), at most limit.
Row makeSecondsRow(std::string measure, double seconds, std::string baselineText, double ratio, double limit);
Row unmeasuredRow(std::string measure, std::string baselineName, Goal goal, std::string why);

void measureRelayThroughput(const BenchConfig &config, Report &report);
void measureRoundTrip(const BenchConfig &config, Report &report);
void measureLaunch(const BenchConfig &config, Report &report);
void measureFirstPrompt(const BenchConfig &config, Report &report);
void measureIdleMemory(const BenchConfig &config, Report &report);
void measureLoggingCost(const BenchConfig &config, Report &report);
void measureSmallWrites(const BenchConfig &config, Report &report);
void measureDapStep(const BenchConfig &config, Report &report);
void measureDapLaunch(const BenchConfig &config, Report &report);
void measureDapPage(const BenchConfig &config, Report &report);
void measureConsolePrompt(const BenchConfig &config, Report &report);
void measureConsoleEcho(const BenchConfig &config, Report &report);
void measureConsoleOutput(const BenchConfig &config, Report &report);
void measureLldbConsolePrompt(const BenchConfig &config, Report &report);
void measureLldbConsoleEcho(const BenchConfig &config, Report &report);
void measureLldbConsoleOutput(const BenchConfig &config, Report &report);
