#include "AppSession.h"
#include "Commands.h"
#include "Interrupts.h"
#include "dyn_platform/DynPlatform.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <vector>

namespace {

struct PingOptions {
    int count = 1;
};

int runPing(const CommonOptions& common, const PingOptions& options) {
    const InterruptScope interrupts;
    AppSession session(common, kCatalogService);
    if (!session.started()) {
        std::fprintf(stderr, "lumo: %s\n", session.error().c_str());
        return kExitSomeFailed;
    }
    // Start-up has launched the service, or tried to.
    DynPlatform& platform = DynPlatform::instance();
    if (!platform.isRunning()) {
        std::fprintf(stderr, "lumo: the catalog service could not start: %s\n", platform.lastError().c_str());
        return kExitSomeFailed;
    }
    const pid_t pid = platform.pid();

    std::vector<double> times; // round trips in milliseconds
    for (int i = 0; i < options.count && !interrupted(); ++i) {
        CILA::VObject args = CILA::VObject::makeVector();
        args.append(i);
        const auto start = std::chrono::steady_clock::now();
        const DynPlatform::Reply reply = platform.request("ping", args);
        const auto end = std::chrono::steady_clock::now();
        if (!reply.ok || reply.results != args) {
            std::fprintf(stderr, "lumo: ping %d failed: %s\n", i + 1,
                         reply.ok ? "the answer differs from the question" : reply.error.c_str());
            platform.dyn_platform_shutdown();
            return kExitSomeFailed;
        }
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    // Ctrl-C stops the pings; the service is shut down in order either way.
    const bool cancelled = interrupted();
    const bool exited = platform.dyn_platform_shutdown();

    std::sort(times.begin(), times.end());
    const std::size_t n = times.size();
    const double median = n == 0 ? 0.0 : n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    const double least = n == 0 ? 0.0 : times[0], most = n == 0 ? 0.0 : times[n - 1];
    if (common.json) {
        nlohmann::json out = {{"pid", pid},          {"count", n},     {"min_ms", least},
                              {"median_ms", median}, {"max_ms", most}, {"exited_cleanly", exited}};
        if (cancelled)
            out["cancelled"] = true;
        std::cout << out.dump(2) << '\n';
    } else {
        std::printf(
            "Catalog service pid %d: %zu ping%s, round trip min %.3f ms, median %.3f ms, max %.3f ms\n",
            static_cast<int>(pid), n, n == 1 ? "" : "s", least, median, most);
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
    ping->callback(
        [&common, &action, options] { action = [&common, options] { return runPing(common, *options); }; });
}
