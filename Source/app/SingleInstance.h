#pragma once

#include "support/NamedThread.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class CCommandParse;

// One running instance per user. The first instance holds an exclusive lock (flock) on
// "LUMOGRAPH-088FA840-B10D-11D3-BC36-006067709674.lock" for as long as it runs, and listens on the
// Unix-domain socket "LUMOGRAPH-088FA840-B10D-11D3-BC36-006067709674.sock" beside it. Both live in the
// instance folder: $XDG_RUNTIME_DIR, else /tmp/lumograph-<uid>; the folder must belong to the user and
// admit nobody else (mode 0700; created so when missing). The kernel drops the lock of an instance that
// dies, and the next first instance replaces the socket it left behind.
//
// A later instance that finds the lock held hands its file over and exits. One hand-over is one
// connection carrying:
//     byte 0          the copy-data word (0 or 1)
//     bytes 1..       "FILEOPEN{96356D46-4E2B-4680-B57F-F8A63C6B9F62}" NUL  path NUL
// after which the sender shuts its side down. The first instance answers a well-formed hand-over from
// its own user with the single byte 1 and closes; anything else is closed without an answer. Each
// accepted hand-over is passed to the handler on the listener thread: the handler posts it to the
// front end's event loop.
struct HandOverMessage {
    std::string path;
    std::uint32_t copyDataWord = 0;
};

class SingleInstance {
public:
    using Handler = std::function<void(HandOverMessage)>;

    static constexpr std::string_view kInstanceName = "LUMOGRAPH-088FA840-B10D-11D3-BC36-006067709674";
    static constexpr std::string_view kFileOpenTag = "FILEOPEN{96356D46-4E2B-4680-B57F-F8A63C6B9F62}";
    static constexpr std::size_t kMaxMessageSize = 1 + 64 + 2 * 4096;

    enum class Claim {
        First,      // this is the running instance now
        HandedOver, // another one runs and took the file
        OtherRuns,  // another one runs; nothing was handed over (nothing to open, or it did not answer)
        Failed      // the lock could not be taken (logged)
    };

    // `folder` empty: the user's instance folder.
    explicit SingleInstance(std::string folder = {});
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Step 2 of start-up: becomes the running instance and starts listening (hand-overs go to
    // `handler`), or, when another instance runs, hands it the command line's file when the command line
    // resolves to FileOpen. Anything but First means: exit quietly.
    Claim claim(CCommandParse& commandLine, Handler handler);
    // The lock alone, without a listener or a hand-over: First, OtherRuns or Failed.
    Claim claimLock();
    // Starts the listener; false (logged) when the socket cannot be set up. Needs the lock.
    bool listen(Handler handler);
    // Stops listening (the listener thread is joined), removes the socket and lets go of the lock.
    void release();

    bool isFirst() const { return m_lockFd >= 0; }
    bool isListening() const { return m_listenFd >= 0; }
    const std::string& folder() const { return m_folder; }
    std::string lockPath() const;
    std::string socketPath() const;

    // The sender's side: true when the instance listening in `folder` acknowledged the hand-over.
    static bool handOver(const std::string& folder, const HandOverMessage& message);
    // $XDG_RUNTIME_DIR when set and absolute, else /tmp/lumograph-<uid>.
    static std::string defaultFolder();
    // Reads one hand-over as the listener receives it; false for anything malformed.
    static bool parseHandOver(const std::string& bytes, HandOverMessage& message);

private:
    bool prepareFolder();
    void listenLoop(Handler handler);
    void serve(int client, const Handler& handler);

    std::string m_folder;
    int m_lockFd = -1;
    int m_listenFd = -1;
    int m_wakePipe[2] = {-1, -1};
    lumo::NamedThread m_listener;
};
