// The main of every test binary. Before any test runs, HOME, the XDG folders and the program's own
// location variables are pointed at a fresh temporary folder, so that no test can reach the user's
// real settings, caches or log.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string g_runFolder;

} // namespace

const std::string& lumo::test::testRunFolder() {
    return g_runFolder;
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);

    std::string base = "/tmp/lumo-test-XXXXXX";
    if (!mkdtemp(base.data()))
        return 1;
    g_runFolder = base;
    const std::string home = g_runFolder + "/home";
    std::filesystem::create_directories(home);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home + "/.cache").c_str(), 1);
    setenv("LUMO_SETTINGS_PATH", (g_runFolder + "/settings").c_str(), 1);
    setenv("LUMO_CACHE_PATH", (g_runFolder + "/cache").c_str(), 1);

    const int result = RUN_ALL_TESTS();
    std::error_code ec;
    std::filesystem::remove_all(g_runFolder, ec);
    return result;
}
