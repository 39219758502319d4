// The main of the desktop's tests: the test run's folders as every test binary has them, the offscreen
// platform, one QApplication, and the desktop's services started once before the first test (not when
// the tests are only listed) and stopped after the last.

#include "DesktopServices.h"
#include "app/LumoApp.h"
#include "app/LumoPaths.h"
#include "support/TestSupport.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

class DesktopServicesEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        LumoPaths::initialise(LocationInputs{});
        m_app = std::make_unique<CLumoApp>();
        addDesktopServices(*m_app);
        ASSERT_TRUE(m_app->InitInstance());
    }
    void TearDown() override {
        if (m_app)
            m_app->ExitInstance();
        m_app.reset();
    }

private:
    std::unique_ptr<CLumoApp> m_app;
};

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!lumo::test::beginTestRun())
        return 1;
    int result = 0;
    {
        QApplication application(argc, argv);
        ::testing::AddGlobalTestEnvironment(new DesktopServicesEnvironment);
        result = RUN_ALL_TESTS();
    }
    lumo::test::endTestRun();
    return result;
}
