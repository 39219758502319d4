#pragma once

#include "LumoCli.h"
#include "app/LumoApp.h"

#include <string>

// The application around one command: fixes the locations from the common options, installs the
// terminal's question handler, starts every service, and shuts them down again when it goes.
class AppSession {
public:
    explicit AppSession(const CommonOptions& options);
    ~AppSession();
    AppSession(const AppSession&) = delete;
    AppSession& operator=(const AppSession&) = delete;

    // False when start-up failed; error() then says why.
    bool started() const { return m_started; }
    const std::string& error() const { return m_error; }
    CLumoApp& app() { return m_app; }

private:
    CLumoApp m_app;
    bool m_initialised = false;
    bool m_started = false;
    std::string m_error;
};
