// send -> back-end echo -> data message, against a minimal two-thread relay.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "baselines/frame.h"
#include "measures.h"

using namespace std::chrono_literals;

namespace {

constexpr size_t payloadSize = 32;

// Round trips through the service, driven as the baseline is: the measuring thread writes a
// ready-made send message and reads the socket itself until the echo's bytes are back.
std::vector<double> serviceRoundTrips(const std::string &bundleDir, int warmUp, int count)
{
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(count));
    RawService service(bundleDir);
    if (service.request("launch_gdb") == true) {
        Message send;
        send.dictionary.setString("command", "send");
        send.dictionary.setData("data", MessageBytes(payloadSize, 'p'));
        const std::string outgoing = encodeMessage(send);
        std::this_thread::sleep_for(20ms);
        size_t received = 0;
        const auto countData = [&](const Message &message) {
            if (const MessageBytes *data = message.dictionary.getData("data"))
                received += data->size();
            return received >= payloadSize;
        };
        for (int trip = 0; trip < warmUp + count; ++trip) {
            auto start = BenchClock::now();
            if (!writeAllTo(service.fd(), outgoing.data(), outgoing.size()) || !service.readUntil(countData))
                break;
            auto end = BenchClock::now();
            received -= payloadSize;
            if (trip >= warmUp)
                samples.push_back(secondsBetween(start, end));
        }
        service.stop();
    }
    return static_cast<int>(samples.size()) == count ? samples : std::vector<double>{};
}

// The same through the baseline relay, or with relay empty straight over pipes to the echo.
std::vector<double> baselineRoundTrips(const BenchConfig &config, bool throughRelay, int warmUp, int count)
{
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(count));
    int input[2];
    int output[2];
    makePipe(input);
    makePipe(output);
    pid_t echo = spawnProgram(config.paths.standinDir + "/echo", {}, {{input[0], 0}, {output[1], 1}});
    closeAll({input[0], output[1]});
    int host[2] = {-1, -1};
    pid_t relay = -1;
    int sendFd = input[1];
    int receiveFd = output[0];
    if (throughRelay) {
        makeSocketPair(host);
        relay = spawnProgram(config.paths.baselineDir + "/two_thread_relay", {},
                             {{host[1], 3}, {input[1], 4}, {output[0], 5}});
        closeAll({host[1], input[1], output[0]});
        sendFd = receiveFd = host[0];
    }
    char message[frameHeaderSize + payloadSize];
    putFrameHeader(message, payloadSize);
    memset(message + frameHeaderSize, 'p', payloadSize);
    const char *outgoing = throughRelay ? message : message + frameHeaderSize;
    const size_t outgoingSize = throughRelay ? sizeof message : payloadSize;
    char buffer[4096];
    FrameFollower follower;
    uint64_t received = 0;
    std::this_thread::sleep_for(20ms);
    for (int trip = 0; trip < warmUp + count; ++trip) {
        auto start = BenchClock::now();
        if (!writeAllTo(sendFd, outgoing, outgoingSize))
            break;
        const uint64_t target = static_cast<uint64_t>(trip + 1) * payloadSize;
        while (received < target) {
            ssize_t got = read(receiveFd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            if (throughRelay) {
                follower.feed(buffer, static_cast<size_t>(got), [](const char *, size_t) {});
                received = follower.payloadBytes;
            } else {
                received += static_cast<uint64_t>(got);
            }
        }
        auto end = BenchClock::now();
        if (received < target)
            break;
        if (trip >= warmUp)
            samples.push_back(secondsBetween(start, end));
    }
    closeAll({sendFd});
    if (receiveFd != sendFd)
        close(receiveFd);
    reap(echo);
    if (relay > 0)
        reap(relay);
    return samples;
}

} // namespace

void measureRoundTrip(const BenchConfig &config, Report &report)
{
    const int rounds = config.smoke ? 1 : 10;
    const int perRound = config.smoke ? 500 : 2000;
    const int warmUp = config.smoke ? 50 : 200;
    TempDir bundle;
    makeBundle(config.paths, bundle.path(), {{"gdb-x86_64", "echo"}});
    std::vector<double> service, relay, direct;
    std::vector<double> serviceP50, relayP50, serviceP99, relayP99;
    for (int round = 0; round < rounds; ++round) {
        auto s = serviceRoundTrips(bundle.path(), warmUp, perRound);
        auto r = baselineRoundTrips(config, true, warmUp, perRound);
        auto d = baselineRoundTrips(config, false, warmUp, perRound);
        serviceP50.push_back(percentile(s, 50));
        serviceP99.push_back(percentile(s, 99));
        relayP50.push_back(percentile(r, 50));
        relayP99.push_back(percentile(r, 99));
        service.insert(service.end(), s.begin(), s.end());
        relay.insert(relay.end(), r.begin(), r.end());
        direct.insert(direct.end(), d.begin(), d.end());
    }
    report.rows.push_back(makeRow("send -> echo -> data message, p50", formatMicroseconds(medianOfValid(serviceP50)),
                                  formatMicroseconds(medianOfValid(relayP50)) + " two-thread relay",
                                  ratioOfMedians(serviceP50, relayP50), {Goal::Kind::AtMost, 1.05}));
    report.rows.push_back(makeRow("send -> echo -> data message, p99", formatMicroseconds(medianOfValid(serviceP99)),
                                  formatMicroseconds(medianOfValid(relayP99)) + " two-thread relay",
                                  ratioOfMedians(serviceP99, relayP99), {Goal::Kind::AtMost, 1.2}));
    char note[512];
    snprintf(note, sizeof note,
             "round trip of %zu bytes: %d rounds of %d, percentiles per round; over all rounds: service p50 %s, p99 "
             "%s, two-thread relay p50 %s, p99 %s, direct pipes p50 %s, p99 %s",
             payloadSize, rounds, perRound, formatMicroseconds(percentile(service, 50)).c_str(),
             formatMicroseconds(percentile(service, 99)).c_str(), formatMicroseconds(percentile(relay, 50)).c_str(),
             formatMicroseconds(percentile(relay, 99)).c_str(), formatMicroseconds(percentile(direct, 50)).c_str(),
             formatMicroseconds(percentile(direct, 99)).c_str());
    report.notes.push_back(note);
}
