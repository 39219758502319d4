// lumo catalog ping: starts the catalog service, measures round trips, and leaves nothing running.

#include "LumoHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

using lumo::test::ProcessResult;
using lumo::test::runProcess;
using lumo::test::TempDir;

namespace {

// Gone, or dead and waiting for its parent to reap it.
bool processGone(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text))
        return true;
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() &&
           (text[close + 2] == 'Z' || text[close + 2] == 'X');
}

} // namespace

TEST(CatalogCommand, PingReportsRoundTripsAndStopsTheService) {
    LumoHome home;
    const ProcessResult r = home.lumo({"catalog", "ping", "--count", "20"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        r.out, m,
        std::regex(R"(Catalog service pid (\d+): 20 pings, round trip min ([\d.]+) ms, )"
                   R"(median ([\d.]+) ms, max ([\d.]+) ms\n)"
                   R"(Payload 0 bytes, 1 in flight: [\d.]+ ms in all, [\d.]+ MiB/s each way\n)")))
        << r.out;
    EXPECT_LE(std::stod(m[2]), std::stod(m[3]));
    EXPECT_LE(std::stod(m[3]), std::stod(m[4]));
    EXPECT_TRUE(processGone(std::stol(m[1])));
    EXPECT_TRUE(std::filesystem::is_directory(home.dir.file("cache") + "/cache/dyn"));

    const ProcessResult j = home.lumo({"--json", "catalog", "ping"});
    ASSERT_EQ(j.exitCode, 0) << j.err;
    const auto out = nlohmann::json::parse(j.out);
    EXPECT_EQ(out["count"], 1);
    EXPECT_GT(out["pid"].get<long>(), 0);
    EXPECT_EQ(out["minMs"], out["medianMs"]);
    EXPECT_EQ(out["exitedCleanly"], true);
    EXPECT_EQ(out["size"], 0);
    EXPECT_EQ(out["parallel"], 1);
    EXPECT_TRUE(processGone(out["pid"].get<long>()));

    // Payloads that fill the socket several times over, several in flight, echoed and checked.
    const ProcessResult p =
        home.lumo({"--json", "catalog", "ping", "--size", "3000000", "--parallel", "3", "--count", "7"});
    ASSERT_EQ(p.exitCode, 0) << p.err;
    const auto bulk = nlohmann::json::parse(p.out);
    EXPECT_EQ(bulk["count"], 7);
    EXPECT_EQ(bulk["size"], 3000000);
    EXPECT_EQ(bulk["parallel"], 3);
    EXPECT_GE(bulk["totalMs"].get<double>(), bulk["maxMs"].get<double>());
    EXPECT_GT(bulk["bytesPerSecond"].get<double>(), 0);
    EXPECT_EQ(bulk["exitedCleanly"], true);
}

TEST(CatalogCommand, AServiceThatCannotStartAndBadUsage) {
    LumoHome home;
    home.env["LUMO_CATALOGD_PATH"] = home.dir.file("no-such-program");
    const ProcessResult r = home.lumo({"catalog", "ping"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("lumo: the catalog service could not start: launch_dyn: cannot start"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(r.out.empty());

    EXPECT_EQ(home.lumo({"catalog"}).exitCode, 2);
    EXPECT_EQ(home.lumo({"catalog", "ping", "--count", "0"}).exitCode, 2);
    EXPECT_EQ(home.lumo({"catalog", "ping", "--count", "x"}).exitCode, 2);
    EXPECT_EQ(home.lumo({"catalog", "ping", "--parallel", "0"}).exitCode, 2);
    EXPECT_EQ(home.lumo({"catalog", "ping", "--size", "-1"}).exitCode, 2);
}
