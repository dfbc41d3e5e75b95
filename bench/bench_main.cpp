// ld-bench: measures the service and its baselines in the same run and prints each result as
// a ratio to its baseline.
//   ld-bench [--smoke] [--only NAME[,NAME...]] [--socat PATH]
// NAMES: throughput round-trip launch prompt memory logging small-writes dap-step dap-launch dap-page
//        console-prompt
//        console-echo console-output lldb-console-prompt lldb-console-echo lldb-console-output

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/utsname.h>
#include <unistd.h>

#include "measures.h"

namespace {

std::string format(const char *pattern, double value)
{
    char text[64];
    snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string goalText(const Goal &goal)
{
    char text[64];
    switch (goal.kind) {
    case Goal::Kind::AtLeast:
        snprintf(text, sizeof text, ">= %.2fx", goal.bound);
        break;
    case Goal::Kind::AtMost:
        snprintf(text, sizeof text, "<= %.2fx", goal.bound);
        break;
    case Goal::Kind::ReportAtLeast:
        snprintf(text, sizeof text, "report; >= %.2fx", goal.bound);
        break;
    case Goal::Kind::WithinSeconds:
        return "<= " + formatMilliseconds(goal.bound);
    }
    return text;
}

std::string verdict(const Row &row)
{
    if (row.goal.kind == Goal::Kind::WithinSeconds)
        return !row.measured || !row.seconds ? "not measured" : *row.seconds <= row.goal.bound ? "met" : "NOT MET";
    if (!row.measured || !row.ratio || std::isnan(*row.ratio))
        return "not measured";
    bool met = row.goal.kind == Goal::Kind::AtMost ? *row.ratio <= row.goal.bound : *row.ratio >= row.goal.bound;
    return met ? "met" : "NOT MET";
}

void printTable(const std::vector<Row> &rows)
{
    std::vector<std::vector<std::string>> cells = {{"measure", "service", "baseline", "ratio", "goal", "met"}};
    for (const Row &row : rows) {
        std::string ratio = row.ratio && !std::isnan(*row.ratio) ? format("%.2fx", *row.ratio) : "-";
        cells.push_back({row.measure, row.service, row.baseline, ratio, goalText(row.goal), verdict(row)});
    }
    std::vector<size_t> widths(cells[0].size(), 0);
    for (const auto &line : cells) {
        for (size_t i = 0; i < line.size(); ++i)
            widths[i] = std::max(widths[i], line[i].size());
    }
    auto print = [&](const std::vector<std::string> &line) {
        std::string text = "|";
        for (size_t i = 0; i < line.size(); ++i)
            text += " " + line[i] + std::string(widths[i] - line[i].size(), ' ') + " |";
        puts(text.c_str());
    };
    print(cells[0]);
    std::string rule = "|";
    for (size_t width : widths)
        rule += std::string(width + 2, '-') + "|";
    puts(rule.c_str());
    for (size_t i = 1; i < cells.size(); ++i)
        print(cells[i]);
}

// How busy the machine is: the load average and how much of the last minute runnable tasks
// waited for a CPU. Others' work on a shared machine shows in every measure.
std::string machineLoad()
{
    std::string text;
    if (FILE *file = fopen("/proc/loadavg", "r")) {
        double load = 0;
        if (fscanf(file, "%lf", &load) == 1)
            text += format("load average %.2f", load);
        fclose(file);
    }
    if (FILE *file = fopen("/proc/pressure/cpu", "r")) {
        double avg10 = 0;
        double avg60 = 0;
        if (fscanf(file, "some avg10=%lf avg60=%lf", &avg10, &avg60) == 2)
            text += format(", CPU pressure %.0f%% over the last minute", avg60);
        fclose(file);
    }
    return text;
}

std::string findSocat()
{
    for (const char *candidate : {"/usr/bin/socat", "/bin/socat", "/usr/local/bin/socat"}) {
        if (access(candidate, X_OK) == 0)
            return candidate;
    }
    return {};
}

void usage()
{
    fprintf(stderr, "usage: ld-bench [--smoke] [--only NAME[,NAME...]] [--socat PATH|none]\n"
                    "names: throughput round-trip launch prompt memory logging small-writes dap-step\n"
                    "       dap-launch dap-page console-prompt console-echo console-output lldb-console-prompt\n"
                    "       lldb-console-echo lldb-console-output\n");
}

} // namespace

std::string formatRate(double bytesPerSecond)
{
    return format("%.2f GB/s", bytesPerSecond / 1e9);
}

std::string formatMicroseconds(double seconds)
{
    return format("%.1f us", seconds * 1e6);
}

std::string formatMilliseconds(double seconds)
{
    return format(seconds < 0.01 ? "%.3f ms" : "%.1f ms", seconds * 1e3);
}

std::string formatMebibytes(long kib)
{
    return format("%.2f MiB", static_cast<double>(kib) / 1024.0);
}

std::string formatPerSecond(double perSecond)
{
    return format("%.0f k/s", perSecond / 1e3);
}

Row makeRow(std::string measure, std::string serviceText, std::string baselineText, double ratio, Goal goal)
{
    Row row{std::move(measure), std::move(serviceText), std::move(baselineText), std::nullopt, goal, true,
            std::nullopt};
    if (ratio > 0 && !std::isnan(ratio))
        row.ratio = ratio;
    else
        row.measured = false;
    return row;
}

Row makeSecondsRow(std::string measure, double seconds, std::string baselineText, double ratio, double limit)
{
    Row row = makeRow(std::move(measure), formatMilliseconds(seconds), std::move(baselineText), ratio,
                      {Goal::Kind::WithinSeconds, limit});
    row.measured = seconds > 0 && !std::isnan(seconds);
    if (row.measured)
        row.seconds = seconds;
    return row;
}

Row unmeasuredRow(std::string measure, std::string baselineName, Goal goal, std::string why)
{
    return Row{std::move(measure), "-", baselineName + ": " + why, std::nullopt, goal, false, std::nullopt};
}

int main(int argc, char **argv)
{
    BenchConfig config;
    config.paths = {LD_BENCH_BUNDLE_DIR,   LD_BENCH_STANDIN_DIR,  LD_BENCH_BASELINE_DIR,   findSocat(),
                    LD_BENCH_HOST_PROGRAM, LD_BENCH_DEBUGGEE_DIR, LD_BENCH_DEBUGGEE_SOURCE};
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--smoke") {
            config.smoke = true;
        } else if (argument == "--only" && i + 1 < argc) {
            std::string names = argv[++i];
            for (size_t start = 0; start <= names.size();) {
                size_t comma = names.find(',', start);
                if (comma == std::string::npos)
                    comma = names.size();
                only.push_back(names.substr(start, comma - start));
                start = comma + 1;
            }
        } else if (argument == "--socat" && i + 1 < argc) {
            std::string path = argv[++i];
            config.paths.socat = path == "none" ? "" : path;
        } else {
            usage();
            return 2;
        }
    }

    struct Measure {
        const char *name;
        void (*run)(const BenchConfig &, Report &);
    };
    const Measure measures[] = {
        {"throughput", measureRelayThroughput},
        {"round-trip", measureRoundTrip},
        {"launch", measureLaunch},
        {"prompt", measureFirstPrompt},
        {"memory", measureIdleMemory},
        {"logging", measureLoggingCost},
        {"small-writes", measureSmallWrites},
        {"dap-step", measureDapStep},
        {"dap-launch", measureDapLaunch},
        {"dap-page", measureDapPage},
        {"console-prompt", measureConsolePrompt},
        {"console-echo", measureConsoleEcho},
        {"console-output", measureConsoleOutput},
        {"lldb-console-prompt", measureLldbConsolePrompt},
        {"lldb-console-echo", measureLldbConsoleEcho},
        {"lldb-console-output", measureLldbConsoleOutput},
    };
    for (const std::string &name : only) {
        bool known = false;
        for (const Measure &measure : measures)
            known = known || name == measure.name;
        if (!known) {
            usage();
            return 2;
        }
    }

    utsname machine{};
    uname(&machine);
    printf("ld-bench%s: %ld cores, %s %s; at start: %s\n", config.smoke ? " --smoke" : "",
           sysconf(_SC_NPROCESSORS_ONLN), machine.sysname, machine.release, machineLoad().c_str());
    fflush(stdout);
    Report report;
    auto suiteStart = BenchClock::now();
    for (const Measure &measure : measures) {
        if (!only.empty() && std::find(only.begin(), only.end(), measure.name) == only.end())
            continue;
        auto start = BenchClock::now();
        measure.run(config, report);
        fprintf(stderr, "ld-bench: %s took %.1f s\n", measure.name, secondsBetween(start, BenchClock::now()));
    }
    printf("\n");
    printTable(report.rows);
    printf("\n");
    for (const std::string &note : report.notes)
        printf("- %s\n", note.c_str());
    printf("- service and baseline: medians over rounds that alternate between the two; ratio: service / "
           "baseline\n");
    printf("- measures took %.1f s in all; at the end: %s\n", secondsBetween(suiteStart, BenchClock::now()),
           machineLoad().c_str());
    return 0;
}
