#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "Interrupts.h"
#include "JsonValue.h"
#include "dyn_platform/DynPlatform.h"
#include "support/NamedThread.h"
#include "support/TextUtils.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

namespace {

// The payload and its frame must fit a frame of the bridge (2 GiB); 1 GiB is plenty for a check.
constexpr std::size_t kMaxPingSize = std::size_t{1} << 30;

struct PingOptions {
    int count = 1;
    std::size_t size = 0; // payload bytes each ping carries (and gets back)
    int parallel = 1;     // pings in flight at once
};

// The payload: bytes that change from one to the next, so that a reply put together wrongly shows.
std::string makePayload(std::size_t size) {
    std::string payload(size, '\0');
    std::uint64_t x = 0x9E3779B97F4A7C15u;
    for (std::size_t at = 0; at < size; at += sizeof x) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::memcpy(payload.data() + at, &x, std::min(sizeof x, size - at));
    }
    return payload;
}

int runPing(const CommonOptions& common, const PingOptions& options) {
    const InterruptScope interrupts;
    AppSession session(common, kCatalogService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    // Start-up has launched the service, or tried to.
    DynPlatform& platform = DynPlatform::instance();
    if (!platform.isRunning())
        return commandFailed(common, kResultUnexpected,
                             "the catalog service could not start: " + platform.lastError());
    const pid_t pid = platform.pid();
    const std::string payload = makePayload(options.size);

    // Each caller takes the next ping until all are done, one fails or Ctrl-C stops them.
    std::mutex mutex;
    std::vector<double> times; // round trips in milliseconds
    std::string failure;
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    const auto caller = [&] {
        while (!interrupted() && !failed) {
            const int i = next++;
            if (i >= options.count)
                return;
            CILA::VObject args = CILA::VObject::makeVector();
            args.append(i);
            if (options.size > 0)
                args.append(payload);
            const auto start = std::chrono::steady_clock::now();
            const DynPlatform::Reply reply = platform.request("ping", args);
            const auto end = std::chrono::steady_clock::now();
            std::lock_guard lock(mutex);
            if (!reply.ok || reply.results != args) {
                if (!failed.exchange(true))
                    failure = lumo::formatString("ping %d failed: %s", i + 1,
                                                 reply.ok ? "the answer differs from the question"
                                                          : reply.error.c_str());
                return;
            }
            times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        }
    };
    const auto started = std::chrono::steady_clock::now();
    {
        std::vector<lumo::NamedThread> callers;
        for (int t = 1; t < options.parallel; ++t)
            callers.emplace_back("lumo-ping" + std::to_string(t), 1u << 20, caller);
        caller();
    } // joins the callers
    const double totalMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    if (failed) {
        platform.dyn_platform_shutdown();
        return commandFailed(common, kResultUnexpected, failure);
    }
    // Ctrl-C stops the pings; the service is shut down in order either way.
    const bool cancelled = interrupted();
    const bool exited = platform.dyn_platform_shutdown();

    std::sort(times.begin(), times.end());
    const std::size_t n = times.size();
    const double median = n == 0 ? 0.0 : n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    const double least = n == 0 ? 0.0 : times[0], most = n == 0 ? 0.0 : times[n - 1];
    // Payload bytes carried each way per second.
    const double throughput = totalMs > 0 ? static_cast<double>(n * options.size) / (totalMs / 1000) : 0.0;
    if (common.json) {
        nlohmann::json out = {{"pid", pid},           {"count", n},
                              {"minMs", least},       {"medianMs", median},
                              {"maxMs", most},        {"exitedCleanly", exited},
                              {"size", options.size}, {"parallel", options.parallel},
                              {"totalMs", totalMs},   {"bytesPerSecond", throughput}};
        if (cancelled)
            out["cancelled"] = true;
        std::cout << jsonText(out, 2) << '\n';
    } else {
        std::printf(
            "Catalog service pid %d: %zu ping%s, round trip min %.3f ms, median %.3f ms, max %.3f ms\n",
            static_cast<int>(pid), n, n == 1 ? "" : "s", least, median, most);
        std::printf("Payload %zu bytes, %d in flight: %.3f ms in all, %.1f MiB/s each way\n", options.size,
                    options.parallel, totalMs, throughput / (1024 * 1024));
    }
    std::fflush(stdout);
    if (cancelled) {
        std::fprintf(stderr, "lumo: cancelled after %zu of %d pings\n", n, options.count);
        return kExitCancelled;
    }
    return kExitDone;
}

} // namespace

void addCatalogCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    CLI::App* catalog = lumo.add_subcommand("catalog", "Talk to the catalog service");
    catalog->require_subcommand(1);
    auto options = std::make_shared<PingOptions>();
    CLI::App* ping = catalog->add_subcommand(
        "ping", "Start the catalog service, measure round trips to it, and stop it again");
    ping->add_option("--count,-n", options->count, "How many round trips (default 1)")
        ->check(CLI::Range(1, 100000000));
    ping->add_option("--size", options->size, "Payload bytes each ping carries there and back (default 0)")
        ->check(CLI::Range(std::size_t{0}, kMaxPingSize));
    ping->add_option("--parallel", options->parallel, "Pings in flight at once (default 1)")
        ->check(CLI::Range(1, 64));
    ping->callback(
        [&common, &action, options] { action = [&common, options] { return runPing(common, *options); }; });
}
