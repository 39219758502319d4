#pragma once

#include "archive/VObject.h"

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class CLumoApp;

// How to start the catalog service.
struct DynLaunchOptions {
    std::string program; // empty: $LUMO_CATALOGD_PATH, else found beside the running program
    std::chrono::milliseconds startTimeout{10000};
    std::map<std::string, std::string> environment; // added to the child's environment
};

// The catalog service: a child process (lumo-catalogd) that the application launches and talks to over
// the bridge protocol. One thread, the bridge's input/output thread, owns the connection; any thread
// may send requests and wait for their replies. When the service is not running every request fails at
// once and the rest of the program goes on without it.
//
// The service never outlives its launcher: it exits when the pipe on its standard input ends, which
// the kernel closes when this process dies, however it dies.
class DynPlatform {
public:
    static constexpr std::chrono::milliseconds kDefaultExitTimeout{5000};
    static constexpr int kDefaultReplyTimeoutSec = 600;

    using LaunchOptions = DynLaunchOptions;

    struct Reply {
        bool ok = false;
        CILA::VObject results; // the reply's arguments after the request id (a vector)
        std::string error;     // why it failed, when !ok
    };

    DynPlatform();
    // Shuts the service down when it still runs.
    ~DynPlatform();
    DynPlatform(const DynPlatform&) = delete;
    DynPlatform& operator=(const DynPlatform&) = delete;

    // The process's catalog service.
    static DynPlatform& instance();

    // Exports the environment the service reads: the settings folder, its log files, its cache root
    // "cache/dyn" below the log folder (created), the reply time-out and the log levels. Needs the
    // locations (LumoPaths) fixed; false, logged, when they are not or the cache root cannot be made.
    static bool setup_dyn_platform_environment();
    // The service program beside the running one: ../lumo-catalogd/lumo-catalogd in the build tree,
    // lumo-catalogd in the same folder when installed. Empty when neither exists.
    static std::string findServiceProgram();

    // Starts the service and waits until it reports that it is up and the handshake is done. On
    // failure (logged; "launch_dyn: timeout" when the service was not up in time) the child is killed
    // and reaped, and lastError() says why. True at once when it already runs.
    bool launch_dyn_platform(const LaunchOptions& options = {});

    // Sends a request and waits for its reply at most `timeout` (default: $CILA_DEFAULT_RPC_REPLY_TIMEOUT_SEC
    // seconds, else 600). A reply that comes later is dropped.
    Reply request(const std::string& name, const CILA::VObject& args = {},
                  std::optional<std::chrono::milliseconds> timeout = std::nullopt);
    // Sends a message that expects no reply; false when the service is not running.
    bool post(const std::string& name, const CILA::VObject& args = {});
    // Tells the catalog about files renamed: [old path, new path] pairs.
    bool document_rename_batch(const std::vector<std::pair<std::string, std::string>>& renamed);

    // Asks the service to stop and waits for it at most `timeout`; past that it is killed ("...TIMEOUT
    // waiting for dyn process to exit - killing pid..." is logged). Either way it is reaped and the
    // input/output thread joined. True when it exited by itself (or was not running).
    bool dyn_platform_shutdown(std::chrono::milliseconds timeout = kDefaultExitTimeout);

    // True from a successful launch until shutdown or until the connection to the service ends.
    bool isRunning() const;
    // The service's pid while it runs, else -1.
    pid_t pid() const;
    // Why the last launch or request failed.
    std::string lastError() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

// The start-up steps "DynPlatform::setup_dyn_platform_environment()" and
// "DynPlatform::launch_dyn_platform()" (a service that cannot start is logged and start-up goes on),
// and the shutdown of the service in the step "terminate_ruby_bridge()".
void addDynPlatformService(CLumoApp& app);
