#include "app/CommandParse.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

namespace {

CCommandParse handled(const std::vector<std::string>& args) {
    CCommandParse command;
    command.ParseCommandLine(args);
    command.HandleCommandLine();
    return command;
}

} // namespace

TEST(CCommandParse, ParametersAreKeptInOrderAndGiveTheShellCommand) {
    CCommandParse command;
    command.ParseCommandLine({"-f", "/a b/one", "-Register", "two", "-"});
    EXPECT_EQ(command.flagParams(), (std::vector<std::string>{"f", "Register"}));
    EXPECT_EQ(command.nonFlagParams(), (std::vector<std::string>{"/a b/one", "two", "-"}));
    EXPECT_EQ(command.fileName(), "/a b/one");
    EXPECT_EQ(command.shellCommand(), CCommandParse::AppRegister);
    EXPECT_EQ(command.rawCommandLine(), "-f /a b/one -Register two -");

    CCommandParse none;
    none.ParseCommandLine(std::vector<std::string>{});
    EXPECT_EQ(none.shellCommand(), CCommandParse::FileNew);
    none.HandleCommandLine(); // nothing to open
    EXPECT_EQ(none.shellCommand(), CCommandParse::FileNothing);
    // Register, print and the like are not the desktop program's first action.
    EXPECT_EQ(handled({"-p", "/"}).shellCommand(), CCommandParse::FileNothing);
    EXPECT_EQ(handled({"-unregserver"}).shellCommand(), CCommandParse::FileNothing);
}

TEST(CCommandParse, FileOpenOpensAFolder) {
    lumo::test::TempDir dir;
    const std::string folder = dir.file("shoot-final");
    std::filesystem::create_directories(folder);
    lumo::test::writeWholeFile(folder + "/IMG_0001.CR2", "raw");
    lumo::test::writeWholeFile(folder + "/IMG_0001.xmp", "<x/>");
    lumo::test::writeWholeFile(folder + "/IMG_0002.Ipt", "iptc");

    auto open = [](const std::string& path) {
        const CCommandParse command = handled({path});
        return command.shellCommand() == CCommandParse::FileOpen ? command.fileName() : "<nothing>";
    };
    EXPECT_EQ(open(folder), folder);
    EXPECT_EQ(open(folder + "/IMG_0001.CR2"), folder);
    EXPECT_EQ(open(folder + "/IMG_0001.xmp"), folder + "/IMG_0001.xmp");
    EXPECT_EQ(open(folder + "/IMG_0002.Ipt"), folder + "/IMG_0002.Ipt");
    EXPECT_EQ(open(folder + "/missing.jpg"), "<nothing>");

    // A relative path means the same to a running instance started elsewhere.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    EXPECT_EQ(open("shoot-final/IMG_0001.CR2"), folder);
    std::filesystem::current_path(cwd);

    // Every real photo of the corpus opens its folder; its sidecars open themselves.
    const std::string corpus = lumo::test::corpusFolder();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    int sidecars = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus)) {
        if (!entry.is_regular_file())
            continue;
        std::string ext = entry.path().extension().string();
        for (char& c : ext)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const bool sidecar = ext == ".XMP" || ext == ".IPT";
        sidecars += sidecar;
        EXPECT_EQ(open(entry.path().string()),
                  sidecar ? entry.path().string() : entry.path().parent_path().string());
    }
    EXPECT_GT(sidecars, 0);
}

TEST(CCommandParse, AutoplayAndTheHandOverWord) {
    const CCommandParse autoplay = handled({"-autoplay:/media/card", "/elsewhere"});
    EXPECT_EQ(autoplay.shellCommand(), CCommandParse::FileOpen);
    EXPECT_EQ(autoplay.fileName(), "-autoplay:/me");
    EXPECT_TRUE(autoplay.isAutoplay());
    EXPECT_EQ(handled({"-autoplay:E"}).fileName(), "-autoplay:E"); // shorter than 13: what there is
    EXPECT_FALSE(handled({"/"}).isAutoplay());

    EXPECT_EQ(handled({"/", "-f"}).copyDataWord(), 1u);
    EXPECT_EQ(handled({"-force", "/"}).copyDataWord(), 1u);
    EXPECT_EQ(handled({"/"}).copyDataWord(), 0u);
    // A hyphen in a folder's name is no flag.
    EXPECT_EQ(handled({"/photos/shoot-final"}).copyDataWord(), 0u);
}
