#include "DesktopApp.h"

#include "ContactSheetView.h"
#include "DesktopServices.h"
#include "LumoDoc.h"
#include "MainFrame.h"
#include "ProgressDialog.h"
#include "app/CommandParse.h"
#include "app/LumoApp.h"
#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "app/MessageBox.h"
#include "app/SingleInstance.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <regex>
#include <string_view>

namespace {

constexpr char kUsage[] =
    "usage: lumograph [--settings DIR] [--cache DIR] [--screenshot OUT.png [--size WxH]] "
    "[FOLDER...]\n";
// How long a headless run waits for the visible thumbnails.
constexpr int kScreenshotTimeoutMs = 30000;
// The largest window a headless run draws (a 8192 x 8192 picture is 256 MiB).
constexpr int kMaxScreenshotSide = 8192;

// Qt's own options that take a value: left to Qt, and their value is no folder.
bool isQtOptionWithValue(std::string_view name) {
    for (std::string_view qt :
         {"platform", "platformpluginpath", "platformtheme", "plugin", "style", "stylesheet", "session",
          "display", "geometry", "qwindowgeometry", "qwindowicon", "qwindowtitle", "title"})
        if (name == qt)
            return true;
    return false;
}

// Hand-overs reach the window through this object, which lives from before the listener starts until
// after it has stopped; they wait here until the frame exists.
class HandOverRelay : public QObject {
public:
    SingleInstance::Handler handler() {
        return [this](HandOverMessage message) {
            QCoreApplication::postEvent(this, new CHandOverEvent(std::move(message)));
        };
    }
    void setFrame(CMainFrame* frame) {
        m_frame = frame;
        for (HandOverMessage& message : std::exchange(m_waiting, {}))
            deliver(std::move(message));
    }

protected:
    bool event(QEvent* event) override {
        if (event->type() != CHandOverEvent::eventType())
            return QObject::event(event);
        deliver(static_cast<CHandOverEvent*>(event)->message());
        return true;
    }

private:
    void deliver(HandOverMessage message) {
        if (!m_frame) {
            m_waiting.push_back(std::move(message));
            return;
        }
        CHandOverEvent event(std::move(message));
        QCoreApplication::sendEvent(m_frame, &event);
    }

    QPointer<CMainFrame> m_frame;
    std::vector<HandOverMessage> m_waiting;
};

// A headless run asks nobody: the question and its default answer go to the error output.
MessageBoxAnswer answerHeadless(std::string_view text, MessageBoxButtons buttons) {
    std::fprintf(stderr, "lumograph: %.*s\n", static_cast<int>(text.size()), text.data());
    return defaultAnswer(buttons);
}

// SIGTERM (a logout), SIGINT and SIGHUP close the window as its close box does, so that the session
// is kept and the services end in order; the handler only wakes the event loop through a pipe.
int g_endPipe[2] = {-1, -1};

extern "C" void onEndSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_endPipe[1], &byte, 1);
    errno = saved;
}

std::unique_ptr<QSocketNotifier> closeOnEndSignals(std::function<void()> close) {
    if (g_endPipe[0] < 0 && ::pipe2(g_endPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    auto notifier = std::make_unique<QSocketNotifier>(g_endPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [close = std::move(close)] {
        char bytes[16];
        while (::read(g_endPipe[0], bytes, sizeof bytes) > 0) {
        }
        close();
    });
    struct sigaction action {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
    return notifier;
}

// A second signal while shutting down ends the process at once.
void defaultEndSignals() {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        std::signal(signal, SIG_DFL);
}

bool screenshotReady(CMainFrame& frame) {
    CContactSheetView* view = frame.activeView();
    return view && view->document() && !view->document()->isSorting() && view->visibleCellsComplete();
}

} // namespace

DesktopCommandLine parseDesktopCommandLine(const std::vector<std::string>& args) {
    DesktopCommandLine line;
    const auto fail = [&line](std::string error) {
        if (line.error.empty())
            line.error = std::move(error);
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string name = arg, value;
        bool hasValue = false;
        if (arg.rfind("--", 0) == 0) {
            const std::size_t equals = arg.find('=');
            if (equals != std::string::npos) {
                name = arg.substr(0, equals);
                value = arg.substr(equals + 1);
                hasValue = true;
            }
        }
        const auto takeValue = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= args.size()) {
                fail(name + " needs a value");
                return false;
            }
            value = args[++i];
            return true;
        };
        if (name == "--screenshot") {
            if (takeValue())
                line.screenshot = value;
        } else if (name == "--settings") {
            if (takeValue())
                line.settingsFolder = value;
        } else if (name == "--cache") {
            if (takeValue())
                line.cacheFolder = value;
        } else if (name == "--size") {
            if (!takeValue())
                continue;
            static const std::regex size(R"(([0-9]{1,5})[xX]([0-9]{1,5}))");
            std::smatch match;
            if (std::regex_match(value, match, size) && std::stoi(match[1]) > 0 && std::stoi(match[2]) > 0 &&
                std::stoi(match[1]) <= kMaxScreenshotSide && std::stoi(match[2]) <= kMaxScreenshotSide) {
                line.width = std::stoi(match[1]);
                line.height = std::stoi(match[2]);
            } else {
                fail("--size takes WIDTHxHEIGHT, each from 1 to " + std::to_string(kMaxScreenshotSide) +
                     ", not \"" + value + "\"");
            }
        } else if (arg.size() > 1 && arg[0] == '-' &&
                   isQtOptionWithValue(std::string_view(arg).substr(arg[1] == '-' ? 2 : 1))) {
            ++i; // Qt's, with its value
        } else {
            line.parameters.push_back(arg);
        }
    }
    if ((line.width || line.height) && line.screenshot.empty())
        fail("--size goes with --screenshot");
    return line;
}

std::vector<std::string> desktopFoldersToOpen(const std::vector<std::string>& parameters,
                                              std::vector<std::string>* missing) {
    CCommandParse all;
    all.ParseCommandLine(parameters);
    std::vector<std::string> folders;
    for (const std::string& parameter : all.nonFlagParams()) {
        CCommandParse one;
        one.ParseCommandLine(std::vector<std::string>{parameter});
        one.HandleCommandLine();
        if (one.shellCommand() == CCommandParse::FileOpen && !one.isAutoplay())
            folders.push_back(one.fileName());
        else if (missing)
            missing->push_back(parameter);
    }
    return folders;
}

int lumographMain(int argc, char** argv) {
    const DesktopCommandLine line = parseDesktopCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!line.error.empty()) {
        std::fprintf(stderr, "lumograph: %s\n%s", line.error.c_str(), kUsage);
        return 2;
    }
    const bool headless = !line.screenshot.empty();
    try {
        LumoPaths::initialise(LocationInputs{line.settingsFolder, line.cacheFolder, {}});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumograph: %s\n", e.what());
        return 1;
    }
    CCommandParse commandLine;
    commandLine.ParseCommandLine(line.parameters);

    // Destroyed in the reverse order: the listener stops before the relay and the frame go, and the
    // widgets before the application.
    int qtArgc = argc;
    std::unique_ptr<QApplication> application;
    std::unique_ptr<HandOverRelay> relay;
    std::unique_ptr<CMainFrame> frame;
    CLumoApp app;
    SingleInstance instance;

    // A headless run is never the one instance, and never hands over: tests and reviews run beside
    // the user's window.
    if (!headless) {
        const SingleInstance::Claim claimed = instance.claimLock();
        if (claimed == SingleInstance::Claim::OtherRuns) {
            std::vector<std::string> missing;
            const std::vector<std::string> folders = desktopFoldersToOpen(line.parameters, &missing);
            int failed = 0;
            for (const std::string& folder : folders)
                if (!SingleInstance::handOver(instance.folder(),
                                              HandOverMessage{folder, commandLine.copyDataWord()})) {
                    std::fprintf(stderr, "lumograph: the running Lumograph did not take %s\n",
                                 folder.c_str());
                    ++failed;
                }
            for (const std::string& path : missing) {
                std::fprintf(stderr, "lumograph: %s: no such file or folder\n", path.c_str());
                ++failed;
            }
            if (folders.empty() && missing.empty())
                std::fprintf(stderr,
                             "lumograph: Lumograph is running already; name a folder to open it there\n");
            app.setExitQuietly();
            app.ExitInstance();
            return failed ? 1 : 0;
        }
        if (claimed == SingleInstance::Claim::Failed)
            LUMO_LOG("lumographMain: the single-instance lock could not be taken; running without it");
    }

    application = std::make_unique<QApplication>(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Lumograph"));
    QApplication::setDesktopFileName(QStringLiteral("lumograph"));
    if (headless)
        setMessageBoxHandler(answerHeadless);
    else
        installDesktopMessageBox();
    const std::unique_ptr<QSocketNotifier> endSignals = closeOnEndSignals([&frame, headless] {
        LUMO_LOG("lumographMain: asked to end, closing the window");
        if (frame)
            frame->close();
        QCoreApplication::exit(headless ? 1 : 0);
    });
    relay = std::make_unique<HandOverRelay>();
    if (instance.isFirst())
        instance.listen(relay->handler());

    addDesktopServices(app);
    std::vector<std::string> folders;
    AppStepList& startup = app.startupSteps();
    const auto frameStep = [&frame](std::function<void()> work) {
        return [&frame, work = std::move(work)] {
            try {
                work();
                return true;
            } catch (const std::exception& e) {
                LUMO_LOG("lumographMain: %s", e.what());
            } catch (...) {
            }
            LUMO_LOG("Main Frame creation failed.  Application will now exit.");
            frame.reset();
            return false;
        };
    };
    startup.add("new CMainFrame", frameStep([&] { frame = std::make_unique<CMainFrame>(); }));
    startup.add("Create MainFrame", frameStep([&] {
                    frame->setEndsApplication(true);
                    frame->setKeepsSession(!headless);
                }));
    startup.add("pMainFrame->LoadFrame(IDR_MAINFRAME)", frameStep([&] {
                    if (headless) {
                        frame->setAttribute(Qt::WA_DontShowOnScreen);
                        if (line.width > 0)
                            frame->resize(line.width, line.height);
                    } else if (!(QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier)) {
                        frame->restoreLayout(); // Shift held at start: the window's default layout
                    }
                }));
    startup.add("pMainFrame->LoadFrame(IDR_MAINFRAME) complete.", [&] {
        relay->setFrame(frame.get());
        return true;
    });
    startup.add("ShowMainFrame", [&] {
        frame->show();
        return true;
    });
    startup.add("HandleCommandLine", [&] {
        std::vector<std::string> missing;
        folders = desktopFoldersToOpen(line.parameters, &missing);
        for (const std::string& path : missing)
            LUMO_LOG("HandleCommandLine: nothing to open at '%s'", path.c_str());
        return true;
    });
    startup.add("ProcessShellCommand", [&] {
        try {
            // The folders of the command line, or else the sheets open when the window last closed.
            if (!folders.empty()) {
                for (const std::string& folder : folders)
                    frame->openFolderPaths({folder});
            } else if (!headless) {
                frame->restoreSession();
            }
        } catch (...) {
            LUMO_LOG("Exception during ProcessShellCommand()");
        }
        return true;
    });
    app.shutdownSteps().add("Closing mutex", [&] {
        instance.release();
        return true;
    });
    // One lock file stands for both of the older program's mutexes; it went with the step before.
    app.shutdownSteps().add("Closing global mutex", [] { return true; });

    int result = 0;
    if (!app.InitInstance()) {
        result = 1;
    } else if (headless && frame->documentCount() == 0) {
        std::fprintf(stderr, "lumograph: nothing to show: give a folder that can be read\n%s", kUsage);
        result = 2;
    } else if (headless) {
        QElapsedTimer waited;
        waited.start();
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            const bool ready = screenshotReady(*frame);
            if (!ready && waited.elapsed() < kScreenshotTimeoutMs)
                return;
            poll.stop();
            int code = 0;
            if (!ready) {
                std::fprintf(stderr,
                             "lumograph: the thumbnails were not all in after %d s; %s shows what was\n",
                             kScreenshotTimeoutMs / 1000, line.screenshot.c_str());
                code = 1;
            }
            if (!frame->grab().save(QString::fromStdString(line.screenshot))) {
                std::fprintf(stderr, "lumograph: could not write %s\n", line.screenshot.c_str());
                code = 1;
            }
            QCoreApplication::exit(code);
        });
        poll.start(50);
        result = QApplication::exec();
    } else {
        result = QApplication::exec();
    }
    defaultEndSignals();
    if (frame)
        frame->shutDown();
    app.ExitInstance();
    return result;
}
