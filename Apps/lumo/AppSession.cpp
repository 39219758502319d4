#include "AppSession.h"

#include "TerminalPrompt.h"
#include "app/LumoPaths.h"
#include "db/DBServices.h"

#include <exception>

AppSession::AppSession(const CommonOptions& options) {
    try {
        LumoPaths::initialise(LocationInputs{options.settingsFolder, options.cacheFolder, {}});
    } catch (const std::exception& e) {
        m_error = e.what();
        return;
    }
    setMessageBoxHandler(makeTerminalMessageBox(options));
    addDatabaseServices(m_app);
    m_initialised = true;
    m_started = m_app.InitInstance();
    if (!m_started)
        m_error = "start-up failed; the log " + LumoPaths::logFilePath() + " says why";
}

AppSession::~AppSession() {
    if (!m_initialised)
        return;
    m_app.ExitInstance();
    setMessageBoxHandler({});
}
