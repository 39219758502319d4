// `lumo cards` on this machine's own mount table, checked against statvfs.

#include "LumoHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/statvfs.h>

using lumo::test::ProcessResult;

TEST(CardsCommand, ListsMountedVolumesWithTheirSpace) {
    LumoHome home("cards");
    const ProcessResult r = home.lumo({"--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const nlohmann::json volumes = nlohmann::json::parse(r.out);
    ASSERT_TRUE(volumes.is_array());
    for (const nlohmann::json& volume : volumes) {
        const std::string mountPoint = volume.at("mountPoint");
        struct statvfs fs {};
        ASSERT_EQ(::statvfs(mountPoint.c_str(), &fs), 0) << mountPoint;
        EXPECT_EQ(volume.at("totalBytes").get<std::uint64_t>(), std::uint64_t{fs.f_blocks} * fs.f_frsize);
        EXPECT_LE(volume.at("usedBytes").get<std::uint64_t>(), volume.at("totalBytes").get<std::uint64_t>());
        EXPECT_EQ(volume.at("device").get<std::string>().rfind("/dev/", 0), 0u);
        for (const char* key :
             {"label", "fileSystem", "freeBytes", "removable", "readOnly", "cameraCard", "erasable"})
            EXPECT_TRUE(volume.contains(key)) << key;
    }

    const ProcessResult text = home.lumo({});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    if (volumes.empty())
        EXPECT_EQ(text.out, "No volumes are mounted.\n");
    else
        EXPECT_NE(text.out.find(" free of "), std::string::npos) << text.out;
    const ProcessResult cards = home.lumo({"--cards-only", "--json"});
    ASSERT_EQ(cards.exitCode, 0) << cards.err;
    for (const nlohmann::json& volume : nlohmann::json::parse(cards.out))
        EXPECT_TRUE(volume.at("cameraCard").get<bool>());
}
