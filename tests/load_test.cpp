// Output under load: a gigabyte through a slow host with bounded memory, and stop answered
// in order while a back end floods.

#include <gtest/gtest.h>

#include <atomic>
#include <sys/wait.h>
#include <thread>

#include "support/service_run.h"

namespace {

// Checks that the bytes continue the stand-in's flood pattern ('a' + offset % 26).
struct PatternCheck {
    uint64_t offset = 0;
    bool intact = true;
    void consume(const uint8_t *bytes, size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            if (bytes[i] != static_cast<uint8_t>('a' + (offset + i) % 26))
                intact = false;
        }
        offset += count;
    }
};

std::unique_ptr<ServiceClient> startFloodService(const std::string &bundle, ServiceClient::Callbacks callbacks)
{
    ServiceStartOptions options;
    options.executable = bundle + "/local-debugger";
    options.environment = std::vector<std::string>{};
    return ServiceClient::start(options, std::move(callbacks));
}

MessageDictionary launchGdbRequest()
{
    MessageDictionary dictionary;
    dictionary.setString("command", "launch_gdb");
    return dictionary;
}

} // namespace

TEST(Load, GigabyteReachesASlowHostInOrderWithBoundedServiceMemory)
{
    TempDir bundle;
    makeBundleCopy(bundle.path(), {{"gdb-x86_64", "scripted"}});
    constexpr uint64_t floodSize = 1ull << 30;
    const std::string greeting = "scripted ready\n";

    std::mutex lock;
    std::condition_variable changed;
    std::string head;
    PatternCheck check;
    size_t messages = 0;
    ServiceClient::Callbacks callbacks;
    callbacks.onMessage = [&](const Message &message) {
        const MessageBytes *data = message.dictionary.getData("data");
        if (data == nullptr)
            return;
        // A slow host at first: the service must wait for it, not queue without bound.
        if (messages < 300)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::lock_guard<std::mutex> guard(lock);
        ++messages;
        size_t skip = 0;
        if (head.size() < greeting.size()) {
            skip = std::min(greeting.size() - head.size(), data->size());
            head.append(data->begin(), data->begin() + static_cast<long>(skip));
        }
        check.consume(data->data() + skip, data->size() - skip);
        changed.notify_all();
    };
    auto client = startFloodService(bundle.path(), callbacks);
    ASSERT_TRUE(client);
    auto reply = client->request(launchGdbRequest(), 10s);
    ASSERT_TRUE(reply && reply->getBool("result") == true);
    client->sendData("send", MessageBytes{'f', 'l', 'o', 'o', 'd', ' ', '1', '0', '7', '3', '7', '4', '1', '8', '2', '4', '\n'});
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, 120s, [&] { return check.offset >= floodSize; }));
    }
    long peak = residentPeakKiB(client->pid());
    RecordProperty("service_peak_resident_kib", std::to_string(peak));
    EXPECT_EQ(client->requestResult("stop", 10s), true);
    auto status = client->waitForExit(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_EQ(head, greeting);
    EXPECT_EQ(check.offset, floodSize);
    EXPECT_TRUE(check.intact) << "a byte of the flood was changed, lost or reordered";
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, serviceMemoryBoundKiB(16 * 1024)) << "service peak resident memory in KiB";
}

TEST(Load, StopIsAnsweredAndEveryFrameDecodesWhileTheBackEndFloodsAndDiesOnSigterm)
{
    TempDir bundle;
    makeBundleCopy(bundle.path(), {{"gdb-x86_64", "scripted"}});
    for (int round = 0, rounds = stressRuns(1000); round < rounds; ++round) {
        std::atomic<size_t> received{0};
        ServiceClient::Callbacks callbacks;
        callbacks.onMessage = [&](const Message &message) {
            if (const MessageBytes *data = message.dictionary.getData("data")) {
                if (received.fetch_add(data->size()) < (1u << 20))
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        };
        auto client = startFloodService(bundle.path(), callbacks);
        ASSERT_TRUE(client);
        auto launched = client->request(launchGdbRequest(), 10s);
        ASSERT_TRUE(launched && launched->getBool("result") == true) << "round " << round;
        client->sendData("send", MessageBytes{'f', 'l', 'o', 'o', 'd', ' ', '9', '9', '9', '9', '9', '9', '9', '9', '9', '\n'});
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (received.load() < 64 * 1024 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        ASSERT_GE(received.load(), 64u * 1024) << "round " << round;
        ASSERT_EQ(client->requestResult("stop", 10s), true) << "round " << round;
        auto status = client->waitForExit(10s);
        ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "round " << round;
        for (int i = 0; i < 1000 && !client->closed(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(client->connectionEnd(), Connection::End::Closed) << "round " << round;
    }
}
