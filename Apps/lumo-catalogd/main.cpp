// lumo-catalogd: the catalog service. The application starts it with pipes for its standard input and
// output and the path of a socket to connect to; see dyn_platform/CatalogProtocol.h for the contract.
// The connection has one thread: a poll() loop over the socket and standard input that never waits
// anywhere else. Work that takes long (an SMTP conversation, a batch of place names) runs on a worker
// thread of its own, whose answers come back to the loop through an eventfd it polls.

#include "ReverseGeocodeService.h"
#include "SendEmail.h"
#include "app/LumoLogger.h"
#include "app/LumoPaths.h"
#include "archive/CilaException.h"
#include "archive/RPCConnection.h"
#include "archive/SocketTransport.h"
#include "dyn_platform/CatalogProtocol.h"
#include "support/TextUtils.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <curl/curl.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

using CILA::VObject;
using CILA::PROTO::RPC::RPCConnection;
using CILA::PROTO::RPC::RPCMessage;
using CILA::PROTO::RPC::SocketTransport;

namespace {

// The service's own log, the file named by CILA_LOGFILE_PATH; standard error when that is not set.
std::unique_ptr<LumoLogger> g_log;

void dynLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void dynLog(const char* format, ...) {
    char buffer[LumoLogger::kMessageBufferSize];
    va_list args;
    va_start(args, format);
    formatLogBuffer(buffer, sizeof buffer, format, args);
    va_end(args);
    if (g_log)
        g_log->logMessage(buffer);
    else
        std::fprintf(stderr, "lumo-catalogd: %s\n", buffer);
}

void openLog() {
    const char* path = std::getenv("CILA_LOGFILE_PATH");
    if (!path || !*path)
        return;
    const std::filesystem::path file(path);
    const std::string folder = file.parent_path().string();
    g_log = std::make_unique<LumoLogger>(file.filename().string(), [folder] { return folder; });
}

// The bridge library logs through the process log; here that goes below the service's cache root,
// never into the application's own log. Debug flags come from the application's settings folder.
void fixLocations() {
    const char* settings = std::getenv("LUMO_SETTINGS_PATH");
    const char* cache = std::getenv("AM_CACHE_ROOT");
    if (settings && *settings && cache && *cache)
        LumoPaths::initialise(ResolvedLocations{settings, cache});
}

std::set<std::string> ignoredNames() {
    std::set<std::string> names;
    if (const char* list = std::getenv(DynProtocol::kIgnoreVariable)) {
        std::string text = list;
        for (auto& c : text)
            if (c == ',')
                c = ' ';
        for (auto name : lumo::splitWhitespace(text))
            names.emplace(name);
    }
    return names;
}

void reply(RPCConnection& conn, std::uint16_t counter, const char* name, VObject results) {
    VObject args = VObject::makeVector();
    args.append(static_cast<int>(counter));
    if (results.dataType() == VObject::DT_VECTOR)
        for (auto& v : results.getvec())
            args.append(std::move(v));
    else if (!results.isNil())
        args.append(results);
    conn.send(false, DynProtocol::kReplyPort, name, args);
}

void reply(RPCConnection& conn, const RPCMessage& m, const char* name, VObject results) {
    reply(conn, m.counter, name, std::move(results));
}

class CatalogService {
public:
    explicit CatalogService(RPCConnection& conn) : m_conn(conn), m_ignored(ignoredNames()) {
        conn.registerPort(DynProtocol::kServicePort,
                          [this](RPCConnection& c, RPCMessage& m) { handle(c, m); });
    }
    bool shutdownAsked() const { return m_shutdown; }
    // Readable when e-mails sent (or failed) wait for their replies.
    int emailEvents() const { return m_email.eventFd(); }
    // Replies for the e-mails the worker has finished.
    void emailsDone() {
        for (SendEmailWorker::Done& done : m_email.takeDone()) {
            dynLog("CatalogService::sendEmail: #%u %s%s", static_cast<unsigned>(done.ticket),
                   done.error.empty() ? "sent" : "failed: ", done.error.c_str());
            if (!m_wantsReply.erase(done.ticket) || m_shutdown)
                continue;
            if (done.error.empty())
                reply(m_conn, done.ticket, DynProtocol::kSendEmail, VObject("sent"));
            else
                reply(m_conn, done.ticket, DynProtocol::kError, VObject(done.error));
        }
    }
    // Readable when answers of place names wait to go.
    int revgeoFd() const { return m_revgeo.wakeFd(); }
    void deliverRevGeo(RPCConnection& conn) {
        m_revgeo.deliver([&conn](std::uint16_t counter, const char* name, VObject results) {
            reply(conn, counter, name, std::move(results));
        });
    }

private:
    void handle(RPCConnection& conn, RPCMessage& m) {
        if (m_shutdown) // what followed the shutdown request in the same read
            return;
        if (m_ignored.count(m.name)) {
            dynLog("CatalogService::handle: ignoring %s (%s)", m.name.c_str(), DynProtocol::kIgnoreVariable);
            return;
        }
        if (m.name == DynProtocol::kPing) {
            if (m.request)
                reply(conn, m, DynProtocol::kPing, std::move(m.args));
        } else if (m.name == DynProtocol::kRenameBatch) {
            renameBatch(m.args.at(0));
            if (m.request)
                reply(conn, m, DynProtocol::kRenameBatch, {});
        } else if (m.name == DynProtocol::kSendEmail) {
            sendEmail(conn, m);
        } else if (m.name == DynProtocol::kRevGeoBatch) {
            m_revgeo.submit(m.counter, m.request, std::move(m.args));
        } else if (m.name == DynProtocol::kShutdown) {
            dynLog("CatalogService::handle: %s", DynProtocol::kShutdown);
            m_shutdown = true;
        } else {
            dynLog("CatalogService::handle: unknown request %s", m.name.c_str());
            if (m.request)
                reply(conn, m, DynProtocol::kError, VObject("unknown request: " + m.name));
        }
    }

    // The catalog follows files the application renamed. The one argument: [[old path, new path], ...].
    void renameBatch(const VObject& pairs) {
        const std::size_t n = pairs.size();
        dynLog("CatalogService::renameBatch: %zu renamed", n);
        for (std::size_t i = 0; i < n; ++i) {
            const VObject& pair = pairs.at(i);
            if (pair.size() != 2 || pair.at(0).dataType() != VObject::DT_STR ||
                pair.at(1).dataType() != VObject::DT_STR) {
                dynLog("CatalogService::renameBatch: bad entry %s", pair.toString().c_str());
                continue;
            }
            dynLog("CatalogService::renameBatch: %s -> %s", pair.at(0).getstr().c_str(),
                   pair.at(1).getstr().c_str());
        }
    }

    // The message goes out on the e-mail worker; the reply follows when it is done (emailsDone()).
    void sendEmail(RPCConnection& conn, const RPCMessage& m) {
        std::string refusal;
        if (!m_email.submit(m.counter, m.args, refusal)) {
            dynLog("CatalogService::sendEmail: refused: %s", refusal.c_str());
            if (m.request)
                reply(conn, m, DynProtocol::kError, VObject(refusal));
            return;
        }
        dynLog("CatalogService::sendEmail: #%u queued", static_cast<unsigned>(m.counter));
        if (m.request)
            m_wantsReply.insert(m.counter);
    }

    RPCConnection& m_conn;
    std::set<std::string> m_ignored;
    bool m_shutdown = false;
    std::set<std::uint16_t> m_wantsReply;
    // The workers last: joined before the rest goes.
    SendEmailWorker m_email;
    ReverseGeocodeService m_revgeo{[](const std::string& line) { dynLog("%s", line.c_str()); }};
};

int connectTo(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        dynLog("connectTo: socket path too long: %s", path.c_str());
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        dynLog("connectTo: cannot connect to %s: %s", path.c_str(), std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

int run(const std::string& socketPath) {
    const int fd = connectTo(socketPath);
    if (fd < 0)
        return 1;
    std::printf("%s%d\n", DynProtocol::kUpLinePrefix, static_cast<int>(::getpid()));
    std::fflush(stdout);
    dynLog("lumo-catalogd: up, pid %d", static_cast<int>(::getpid()));

    SocketTransport transport(fd);
    RPCConnection conn(transport);
    CatalogService service(conn);
    conn.start();

    std::uint8_t buffer[4096];
    const char* why = "";
    while (true) {
        transport.flush();
        // Requests are read while the replies not yet taken stay below the high-water mark. The
        // application always reads, so they drain; after the shutdown request only they remain to go.
        const bool wantInput =
            !service.shutdownAsked() && transport.pending() < SocketTransport::kOutputHighWater;
        if (service.shutdownAsked() && transport.pending() == 0) {
            why = "shutdown requested";
            break;
        }
        if (conn.state() == RPCConnection::State::Closed || transport.ended()) {
            why = transport.peerClosed() ? "connection closed" : "connection failed";
            break;
        }
        pollfd fds[4] = {{0, POLLIN, 0},
                         {fd, transport.events(wantInput), 0},
                         {service.emailEvents(), POLLIN, 0}, // poll() passes over a descriptor below 0
                         {service.revgeoFd(), POLLIN, 0}};
        if (::poll(fds, 4, -1) < 0) {
            if (errno == EINTR)
                continue;
            why = "poll failed";
            break;
        }
        // Standard input carries nothing; its end means the application is gone.
        if (fds[0].revents) {
            const ssize_t n = ::read(0, buffer, sizeof buffer);
            if (n <= 0 && !(n < 0 && errno == EINTR)) {
                why = "standard input closed";
                break;
            }
        }
        if (fds[3].revents & POLLIN)
            service.deliverRevGeo(conn);
        if (fds[1].revents & POLLOUT)
            transport.flush();
        if (fds[2].revents & POLLIN)
            service.emailsDone();
        if (wantInput && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            transport.receive(conn);
    }
    dynLog("lumo-catalogd: exiting: %s", why);
    ::close(fd);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_DEFAULT); // before any thread sends e-mail
    openLog();
    fixLocations();
    std::string socketPath;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], DynProtocol::kSocketOption) == 0)
            socketPath = argv[i + 1];
    if (socketPath.empty()) {
        std::fprintf(stderr, "usage: lumo-catalogd %s PATH (started by lumo)\n", DynProtocol::kSocketOption);
        return 2;
    }
    try {
        return run(socketPath);
    } catch (const std::exception& e) {
        dynLog("lumo-catalogd: exception: %s", e.what());
        return 1;
    }
}
