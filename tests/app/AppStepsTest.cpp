#include "app/AppSteps.h"
#include "app/DebugFlags.h"
#include "app/LumoApp.h"
#include "app/LumoLogger.h"
#include "app/LumoPaths.h"
#include "app/MessageBox.h"
#include "support/FileIO.h"
#include "support/NamedThread.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using Texts = std::vector<std::string>;

TEST(AppStepList, StepsRunInTheOrderOfTheNameTable) {
    static constexpr std::string_view kNames[] = {"first", "second", "third", "fourth"};
    AppStepList list(kNames);
    list.add("third", [] { return true; });
    const int firstLine = __LINE__ + 1;
    list.add("first", [] { return true; });
    list.add("fourth", [] { return true; });
    std::string caller = "second";
    list.add(caller, [] { return true; });
    caller = "scribbled over";

    ASSERT_EQ(list.steps().size(), 4u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(list.steps()[i].name.data(), kNames[i].data()); // the table's own text, not the caller's
    EXPECT_EQ(list.steps()[0].line, firstLine);
    EXPECT_THROW(list.add("fifth", [] { return true; }), std::logic_error);
    EXPECT_THROW(list.add("third", [] { return true; }), std::logic_error);
    EXPECT_EQ(list.steps().size(), 4u);

    // A shared step takes further parts: each runs, in order, and the step fails when one does.
    Texts ran;
    AppStepList shared(kNames);
    shared.extend("second", [&] { return ran.push_back("a"), false; });
    shared.extend("second", [&] { return ran.push_back("b"), true; });
    EXPECT_THROW(shared.extend("fifth", [] { return true; }), std::logic_error);
    ASSERT_EQ(shared.steps().size(), 1u);
    EXPECT_FALSE(shared.steps()[0].run());
    EXPECT_EQ(ran, (Texts{"a", "b"}));
}

namespace {

// Runs the application object with a settings folder of its own. The process log stays in the one
// cache folder every test of this binary uses; each test reads only what it added.
class LumoAppTest : public ::testing::Test {
protected:
    void useDebugFlags(const std::string& text) {
        lumo::test::writeWholeFile(m_settings.file("LumoDebug.txt"), text);
        LumoPaths::initialise(ResolvedLocations{m_settings.path(), lumo::test::testRunFolder() + "/cache"});
        reloadDebugFlags();
        LumoLogger::instance().flush();
        lumo::fileSize(LumoPaths::logFilePath(), m_logStart);
    }

    void TearDown() override {
        setMessageBoxHandler(nullptr);
        LumoPaths::reset();
        reloadDebugFlags();
    }

    // "file text" for each message logged at a source position since useDebugFlags, but for those
    // about the locale.
    Texts logged() {
        LumoLogger::instance().flush();
        const std::string text = lumo::test::readWholeFile(LumoPaths::logFilePath()).substr(m_logStart);
        static const std::regex re(R"(\] ([A-Za-z]+\.cpp):\d+ ((?!Current locale|Changing locale).*)\n)");
        Texts found;
        for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
            found.push_back((*it)[1].str() + " " + (*it)[2].str());
        return found;
    }

    lumo::test::TempDir m_settings;
    std::uint64_t m_logStart = 0;
};

} // namespace

TEST_F(LumoAppTest, StartupLoggingNamesEveryStepInOrder) {
    useDebugFlags("\xEF\xBB\xBFSTARTUP_LOGGING yes\r\n");
    CLumoApp app;
    bool startingInStep = false;
    app.startupSteps().add("LumoCache::create_instance", [&] { return startingInStep = app.isStarting(); });
    EXPECT_TRUE(app.InitInstance());
    EXPECT_TRUE(startingInStep);
    EXPECT_FALSE(app.isStarting());
    EXPECT_EQ(app.ExitInstance(), 0);
    EXPECT_EQ(logged(),
              (Texts{"LumoApp.cpp Initializing Instance", "AppStepsTest.cpp LumoCache::create_instance",
                     "LumoApp.cpp setlocale()", "LumoApp.cpp Initializing Instance complete"}));
}

TEST_F(LumoAppTest, StartupStopsAtAFailingStep) {
    useDebugFlags("// STARTUP_LOGGING yes\n//SHUTDOWN_LOGGING yes\n");
    for (int failure = 0; failure < 3; ++failure) {
        CLumoApp app;
        Texts ran;
        app.startupSteps().add("CPreferences::GetPreferences", [&] { return ran.push_back("prefs"), true; });
        app.startupSteps().add("AfxOleInit", [&]() -> bool {
            ran.push_back("ole");
            if (failure == 1)
                throw std::runtime_error("no OLE today");
            if (failure == 2)
                throw 42;
            return false;
        });
        app.startupSteps().add("ShowMainFrame", [&] { return ran.push_back("frame"), true; });
        EXPECT_FALSE(app.InitInstance());
        EXPECT_FALSE(app.isStarting());
        EXPECT_EQ(ran, (Texts{"prefs", "ole"}));
        EXPECT_EQ(app.ExitInstance(), 0);
    }
    // The flags are commented out: no step is named.
    EXPECT_EQ(logged(), (Texts{"LumoApp.cpp AfxOleInit: exception: no OLE today",
                               "LumoApp.cpp AfxOleInit: unknown C++ exception"}));
}

TEST_F(LumoAppTest, ShutdownRunsEveryStepWhateverOneDoes) {
    useDebugFlags("SHUTDOWN_LOGGING Yes\nSTARTUP_PAUSING 1\n");
    CLumoApp app;
    Texts ran, asked;
    app.shutdownSteps().add("Closing preferences", [&]() -> bool {
        ran.push_back("prefs");
        throw std::runtime_error("disk gone");
    });
    app.shutdownSteps().add("Closing mutex", [&] { return ran.push_back("mutex"), false; });
    app.shutdownSteps().add("LumoTasks::Terminate", [&]() -> bool {
        ran.push_back("tasks");
        throw 7;
    });
    // A thread that shutdown joins asks the user something: it is answered, not left waiting for a
    // user-interface thread that is busy shutting down.
    app.shutdownSteps().add("FTPQueueManager::TerminateAllQueuesASAP()", [&] {
        MessageBoxAnswer answer = MessageBoxAnswer::Ok;
        lumo::NamedThread("queue", 1 << 20, [&] {
            answer = showMessageBox("Stop the transfers?", MessageBoxButtons::YesNo);
        }).join();
        ran.push_back(answer == MessageBoxAnswer::No ? "queue answered" : "queue asked");
        return true;
    });
    // With STARTUP_PAUSING on, each start-up step is put to the user before it runs.
    setMessageBoxHandler([&](std::string_view text, MessageBoxButtons) {
        asked.emplace_back(text);
        return MessageBoxAnswer::Ok;
    });
    EXPECT_TRUE(app.InitInstance());
    EXPECT_EQ(asked, (Texts{"Initializing Instance", "setlocale()", "Initializing Instance complete"}));

    EXPECT_EQ(app.ExitInstance(), 0);
    EXPECT_EQ(ran, (Texts{"tasks", "queue answered", "prefs", "mutex"}));
    EXPECT_EQ(logged(),
              (Texts{"LumoApp.cpp CLumoApp::ExitInstance", "AppStepsTest.cpp LumoTasks::Terminate",
                     "LumoApp.cpp CLumoApp::ExitInstance() LumoTasks::Terminate: unknown C++ exception",
                     "AppStepsTest.cpp FTPQueueManager::TerminateAllQueuesASAP()",
                     "UIThread.cpp showMessageBox: the user-interface thread takes no more work; not asked",
                     "AppStepsTest.cpp Closing preferences",
                     "LumoApp.cpp CLumoApp::ExitInstance() Closing preferences: exception: disk gone",
                     "AppStepsTest.cpp Closing mutex",
                     "LumoApp.cpp Exit Instance complete, calling CWinApp::ExitInstance()"}));

    // An instance that handed over to another one exits without running any step.
    ran.clear();
    app.setExitQuietly();
    EXPECT_EQ(app.ExitInstance(), 0);
    EXPECT_TRUE(ran.empty());
}

TEST_F(LumoAppTest, TheEnvironmentIsExportedBeforeAnyThreadStarts) {
    // setenv() is not safe while another thread may read the environment: the steps that export it
    // must run while start-up is still alone in the process.
    useDebugFlags("");
    const auto threads = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                             std::filesystem::directory_iterator());
    };
    const auto alone = threads();
    CLumoApp app;
    // Stands in for the first service that starts a thread of its own: the preferences store's worker.
    std::optional<lumo::NamedThread> worker;
    std::atomic<bool> stop{false};
    app.startupSteps().add("CPreferences::GetPreferences", [&] {
        worker.emplace("stand-in", 1 << 20, [&] {
            while (!stop)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        return true;
    });
    app.shutdownSteps().add("Closing preferences", [&] {
        stop = true;
        worker.reset();
        return true;
    });
    std::vector<long> atExport;
    for (const std::string_view name :
         {"DynPlatform::setup_dyn_platform_environment()", "KLabs::Catalog::setup_catalog_environment()"})
        app.startupSteps().add(name, [&] { return atExport.push_back(threads()), true; });
    EXPECT_TRUE(app.InitInstance());
    EXPECT_EQ(app.ExitInstance(), 0);
    EXPECT_EQ(atExport, (std::vector<long>{alone, alone}));
}
