#pragma once

#include "app/AppSteps.h"

#include <atomic>
#include <string_view>
#include <thread>

// The application object: starts the process-wide services in a fixed order and tears them down in
// another. The locations (LumoPaths) are fixed before InitInstance, from the command line.
//
// Start-up runs the steps in the order of kStartupStepNames; with the debug flag STARTUP_LOGGING on,
// each step is logged at its source position before it runs, and with STARTUP_PAUSING on the user is
// asked to go on first. A step that fails ends start-up. Shutdown runs the steps of kShutdownStepNames
// (logged with SHUTDOWN_LOGGING), each inside its own guard so that a failing step never stops the rest.
// ExitInstance runs whether or not InitInstance succeeded. It first stops the user-interface thread
// taking work from other threads (stopUIThreadTasks): a thread that shutdown joins may be waiting for
// an answer from it, and gets "cancel" instead.
class CLumoApp {
public:
    // The environment for the catalog service is exported while start-up is still alone in the
    // process: setenv() is not safe while another thread may read the environment, and the preferences
    // store's worker, the first thread, starts a few steps later.
    static constexpr std::string_view kStartupStepNames[] = {
        "Initializing Instance",
        "DynPlatform::setup_dyn_platform_environment()",
        "KLabs::Catalog::setup_catalog_environment()",
        "xmlInitParser",
        "CPreferences::GetPreferences",
        "SetCurrentDirectory()",
        "Load printer page margins",
        "initialize_ruby_bridge()",
        "CThumbfileCache::GetThumbfileCache()",
        "Check for valid thumbfile cache",
        "LumoCache::create_instance",
        "DiskUtils::Initialize()",
        "InitCommonControls",
        "CWinApp::InitInstance",
        "AfxOleInit",
        "AfxEnableControlContainer",
        "LoadStdProfileSettings",
        "LastUpdate",
        "TipOfTheDay",
        "CMultiDocTemplate",
        "Check AppUnregister",
        "Setup LumoAutoplay",
        "EnableShellOpen",
        "RegisterShellFileTypes",
        "Cleanup leftovers",
        "CleanupDropletSessions()",
        "setlocale()",
        "Loading Code Replacements",
        "CColorManagement::GetColorManagement()",
        "NRFInit()",
        "Setting up ICC Profiles()",
        "CIPTCStationeryLists::InitializeIPTCStationeryLists()",
        "CSequence::InitGlobalSequence()",
        "AsyncSoundPlayer::initSoundPlayer()",
        "DynPlatform::launch_dyn_platform()",
        "LumoDyn::start_lumodyn()",
        "ReverseGeoCache Initialize",
        "ContactSheetSortManager initialize",
        "new CMainFrame",
        "Create MainFrame",
        "pMainFrame->LoadFrame(IDR_MAINFRAME)",
        "pMainFrame->LoadFrame(IDR_MAINFRAME) complete.",
        "KLabs::Catalog::start_catalog_app()",
        "LumoSortCache::InitSortCache()",
        "CPreferences::PushPreferencesToExternalModules",
        "SHGetSpecialFolderLocation()",
        "ShowMainFrame",
        "CheckForUpdates",
        "HandleCommandLine",
        "ProcessShellCommand",
        "Initializing Instance complete"};

    // The sort threads and the image caches close with the main frame, before ExitInstance proper.
    static constexpr std::string_view kShutdownStepNames[] = {
        "ContactSheetSortManager terminate",
        "Destroying LumoCache",
        "ReverseGeoCache::Terminate()",
        "Closing Thumbfile cache",
        "CLumoApp::ExitInstance",
        "XTPSkinManager()->RemoveAll",
        "Closing Code Replacements",
        "LumoTasks::Terminate",
        "FTPQueueManager::TerminateAllQueuesASAP()",
        "ControlledVocabularyDataModel::FreeDataModel()",
        "terminate_ruby_bridge()",
        "Closing global sequence",
        "Closing Metadata Template Lists",
        "Terminating sound player",
        "NRFWinBitmap::releaseLogoImage",
        "GdiplusShutdown()",
        "LumoSortCache::TerminateSortCache",
        "Closing preferences",
        "Closing color management",
        "NRFTerminate",
        "Cleaning up leftover FTP files",
        "Terminating DiskUtils",
        "Closing up XMP Files library",
        "Closing up XMP Core library",
        "Cleaning up XML parser",
        "Closing mutex",
        "Closing global mutex",
        "Exit Instance complete, calling CWinApp::ExitInstance()"};

    CLumoApp();
    CLumoApp(const CLumoApp&) = delete;
    CLumoApp& operator=(const CLumoApp&) = delete;

    // True when the application runs; false when it must exit (the failing step has said why).
    bool InitInstance();
    int ExitInstance();

    AppStepList& startupSteps() { return m_startup; }
    AppStepList& shutdownSteps() { return m_shutdown; }

    bool isStarting() const { return m_starting; }
    std::thread::id uiThreadId() const { return m_uiThreadId; }
    // Set when this instance hands its work to another one: ExitInstance then does nothing.
    void setExitQuietly() { m_exitQuietly = true; }

private:
    void addStandardSteps();

    AppStepList m_startup{kStartupStepNames};
    AppStepList m_shutdown{kShutdownStepNames};
    std::thread::id m_uiThreadId;
    std::atomic<bool> m_starting{false};
    bool m_exitQuietly = false;
};
