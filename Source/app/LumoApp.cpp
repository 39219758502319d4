#include "app/LumoApp.h"

#include "app/LumoLog.h"
#include "app/MessageBox.h"
#include "app/UIThread.h"

#include <clocale>
#include <cstring>
#include <exception>
#include <string>

namespace {

void logStep(const AppStep& step) {
    lumoLogAt(step.file, step.line, "%.*s", static_cast<int>(step.name.size()), step.name.data());
}

// Numbers are read and written with '.' whatever the user's locale.
bool useClassicNumericLocale() {
    const char* current = std::setlocale(LC_NUMERIC, nullptr);
    const std::string name = current ? current : "";
    LUMO_LOG("Current locale is %s", name.c_str());
    if (name != "C") {
        const char* changed = std::setlocale(LC_NUMERIC, "C");
        LUMO_LOG("Changing locale to %s", changed ? changed : "C");
    }
    return true;
}

} // namespace

CLumoApp::CLumoApp() {
    addStandardSteps();
}

void CLumoApp::addStandardSteps() {
    m_startup.add("Initializing Instance", [this] {
        m_uiThreadId = std::this_thread::get_id();
        setUIThread();
        m_starting = true;
        return true;
    });
    m_startup.add("setlocale()", useClassicNumericLocale);
    m_startup.add("Initializing Instance complete", [this] {
        m_starting = false;
        return true;
    });

    m_shutdown.add("CLumoApp::ExitInstance", [] { return true; });
    m_shutdown.add("Exit Instance complete, calling CWinApp::ExitInstance()", [] {
        LumoLogger::instance().flush();
        return true;
    });
}

bool CLumoApp::InitInstance() {
    for (const AppStep& step : m_startup.steps()) {
        if (isDebugFlagOn(DebugFlag::STARTUP_LOGGING))
            logStep(step);
        if (isDebugFlagOn(DebugFlag::STARTUP_PAUSING))
            showMessageBox(step.name, MessageBoxButtons::Ok);
        try {
            if (!step.run()) {
                m_starting = false;
                return false;
            }
        } catch (const std::exception& e) {
            LUMO_LOG("%.*s: exception: %s", static_cast<int>(step.name.size()), step.name.data(), e.what());
            m_starting = false;
            return false;
        } catch (...) {
            LUMO_LOG("%.*s: unknown C++ exception", static_cast<int>(step.name.size()), step.name.data());
            m_starting = false;
            return false;
        }
    }
    return true;
}

int CLumoApp::ExitInstance() {
    stopUIThreadTasks();
    if (m_exitQuietly)
        return 0;
    for (const AppStep& step : m_shutdown.steps()) {
        if (isDebugFlagOn(DebugFlag::SHUTDOWN_LOGGING))
            logStep(step);
        try {
            step.run();
        } catch (const std::exception& e) {
            LUMO_LOG("CLumoApp::ExitInstance() %.*s: exception: %s", static_cast<int>(step.name.size()),
                     step.name.data(), e.what());
        } catch (...) {
            LUMO_LOG("CLumoApp::ExitInstance() %.*s: unknown C++ exception",
                     static_cast<int>(step.name.size()), step.name.data());
        }
    }
    return 0;
}
