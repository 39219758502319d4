#include "transfer/FTPClient.h"

#include "support/FileIO.h"
#include "support/NamedThread.h"

#include "support/ServerProcess.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

using lumo::test::readWholeFile;
using lumo::test::runProcess;
using lumo::test::ServerProcess;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;
using namespace std::chrono_literals;

namespace {

// A server on 127.0.0.1 that sends a greeting, then answers each command line with the next scripted
// text, as it is (so a text may be cut short or malformed). An empty text closes the connection; when
// the script runs out the connection is kept open, silent, until the test ends. With no replies at all
// the connection is closed right after the greeting.
class ScriptedServer {
public:
    ScriptedServer(std::string greeting, std::vector<std::string> replies)
        : m_greeting(std::move(greeting)), m_replies(std::move(replies)) {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(m_listen, 1);
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = lumo::NamedThread("scripted-ftp", 1u << 20, [this] { serve(); });
    }
    ~ScriptedServer() {
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }
    int port() const { return m_port; }
    // Waits until the client has closed the connection.
    void waitUntilClosed() { m_thread.join(); }
    std::vector<std::string> received() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }

private:
    bool waitReadable(int fd) {
        while (!m_stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0)
                return true;
        }
        return false;
    }
    void sendText(int fd, const std::string& text) { ::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }
    void serve() {
        if (!waitReadable(m_listen))
            return;
        int fd = ::accept(m_listen, nullptr, nullptr);
        sendText(fd, m_greeting);
        if (m_replies.empty()) {
            ::shutdown(fd, SHUT_WR);
            waitReadable(fd); // until the client closes, or the test ends
        }
        std::string pending;
        std::size_t next = 0;
        while (waitReadable(fd)) {
            char chunk[512];
            ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                break;
            pending.append(chunk, static_cast<std::size_t>(got));
            std::size_t end;
            bool closed = false;
            while ((end = pending.find("\r\n")) != std::string::npos && !closed) {
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_received.push_back(pending.substr(0, end));
                }
                pending.erase(0, end + 2);
                if (next < m_replies.size()) {
                    closed = m_replies[next].empty();
                    sendText(fd, m_replies[next++]);
                }
            }
            if (closed)
                break;
        }
        ::close(fd);
    }

    std::string m_greeting;
    std::vector<std::string> m_replies;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<std::string> m_received;
    lumo::NamedThread m_thread;
};

// The type of an FTPError (its most derived class) as a word, for table checks.
std::string errorKind(const std::function<void()>& call, std::string* message = nullptr,
                      std::string* reply = nullptr) {
    try {
        call();
    } catch (const FTPError& e) {
        if (message)
            *message = e.message();
        if (reply)
            *reply = e.lastReply();
        if (dynamic_cast<const FTPIOError*>(&e))
            return "io";
        if (dynamic_cast<const FTPPermError*>(&e))
            return "perm";
        if (dynamic_cast<const FTPProtoError*>(&e))
            return "proto";
        if (dynamic_cast<const FTPReplyError*>(&e))
            return "reply";
        if (dynamic_cast<const FTPTempError*>(&e))
            return "temp";
        return "ftp";
    }
    return "none";
}

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& c : bytes)
        c = static_cast<char>(generator());
    return bytes;
}

} // namespace

TEST(FTPClientReplies, RepliesAreReadWholeAndClassified) {
    struct Case {
        const char* name;
        std::string greeting;
        const char* kind; // of open()
        const char* message;
        std::string lastReply;
    };
    const std::string longLine(FTPClient::kMaxReplyLine + 10, 'x');
    const Case cases[] = {
        {"multi-line greeting with a 220- middle line",
         "220-Welcome\r\n220-still more\r\n 220 not the end\r\n220 ready\r\n", "none", "",
         "220-Welcome\n220-still more\n 220 not the end\n220 ready\n"},
        {"a bare LF ends a line too", "220 ready\n", "none", "", "220 ready\n"},
        {"421 is transient", "421 Too many connections\r\n", "temp", "Server responded with transient error.",
         "421 Too many connections\n"},
        {"a reply cut short", "220-first\r\n220 la", "proto", "Received incomplete response line.",
         "220-first\n220 la"},
        {"a short first line", "22\r\n", "proto", "Received malformed response line.", "22\n"},
        {"a code that is not one", "abc ready\r\n", "proto", "Server response does not conform to protocol.",
         "abc ready\n"},
        {"an endless line", longLine + "\r\n", "proto", "Received overlong response from server.", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.greeting, {});
        FTPClient client;
        client.setTimeout(5s);
        std::string message, reply;
        EXPECT_EQ(errorKind([&] { client.open("127.0.0.1", server.port()); }, &message, &reply), c.kind);
        if (std::string(c.kind) == "none") {
            EXPECT_EQ(client.lastReply(), c.lastReply);
            EXPECT_EQ(client.lastCode(), "220");
        } else {
            EXPECT_EQ(message, c.message);
            EXPECT_EQ(reply, c.lastReply);
            EXPECT_FALSE(client.isConnected());
        }
    }
}

TEST(FTPClientReplies, AServerThatNeverEndsItsReplyTimesOut) {
    ScriptedServer server("220-hello\r\n220-and then nothing\r\n", {"200 never asked\r\n"});
    FTPClient client;
    client.setTimeout(300ms);
    auto start = std::chrono::steady_clock::now();
    std::string message;
    EXPECT_EQ(errorKind([&] { client.open("127.0.0.1", server.port()); }, &message), "io");
    EXPECT_EQ(message, "Timed out waiting for server response.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(FTPClientReplies, LoginCommandsAndTheirLogLines) {
    // 530 at PASS: the login fails plainly; 530 to another command is a permanent error.
    ScriptedServer server("220 ready\r\n",
                          {"331 password please\r\n", "530 Login incorrect.\r\n", "530 Not logged in.\r\n",
                           "257 \"/my \"\"quoted\"\" dir\" is cwd\r\n", "200 ok\r\n",
                           "227 Entering Passive Mode 127,0,0,1,4,1\r\n"});
    FTPClient client;
    client.open("127.0.0.1", server.port());
    std::string message, reply;
    EXPECT_EQ(errorKind([&] { client.login("photo", "s3cret-word"); }, &message, &reply), "ftp");
    EXPECT_EQ(message, "Login failed.");
    EXPECT_EQ(reply, "530 Login incorrect.\n");
    EXPECT_EQ(errorKind([&] { client.noop(); }, &message), "perm");
    EXPECT_EQ(message, "Server responded with permanent error.");
    EXPECT_EQ(client.pwd(), "/my \"quoted\" dir");
    // A 227 without parentheses.
    TempDir dir;
    writeWholeFile(dir.file("a.jpg"), "abc");
    EXPECT_EQ(errorKind([&] { client.put_binary_file(dir.file("a.jpg"), "a.jpg", {}); }, &message), "proto");
    EXPECT_EQ(message, "Received unparsable 227 response from server.");
    // A name that would smuggle in a second command is refused before anything is sent.
    EXPECT_EQ(errorKind([&] { client.mkd("x\r\nDELE y"); }, &message), "ftp");
    client.close();
    server.waitUntilClosed();
    EXPECT_EQ(server.received(), (std::vector<std::string>{"USER photo", "PASS s3cret-word", "NOOP", "PWD",
                                                           "TYPE I", "PASV", "QUIT"}));
    const std::string log = lumo::test::loggedSoFar();
    EXPECT_NE(log.find("FTP -> PASS .................."), std::string::npos);
    EXPECT_EQ(log.find("s3cret-word"), std::string::npos);
    EXPECT_NE(log.find("FTP <- 530 Login incorrect."), std::string::npos);
    EXPECT_NE(log.find("FTPClient::login(): Login failed"), std::string::npos);
}

TEST(FTPClientReplies, ParsersTakeOnlyWellFormedAddressesAndPaths) {
    std::string host;
    int port = 0;
    FTPClient::parse227("227 Entering Passive Mode (192,168,1,20,195,80).\n", host, port);
    EXPECT_EQ(host, "192.168.1.20");
    EXPECT_EQ(port, 195 * 256 + 80);
    for (const char* bad :
         {"227 Entering Passive Mode 127,0,0,1,4,1\n", "227 (127,0,0,1,4)\n", "227 (127,0,0,1,4,1,1)\n",
          "227 (256,0,0,1,4,1)\n", "227 (127,0,0,1,4,-1)\n", "227 (127,0,0,1,4,1\n", "227 (1,2,3,4,,1)\n"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(errorKind([&] { FTPClient::parse227(bad, host, port); }), "proto");
    }
    EXPECT_EQ(errorKind([&] { FTPClient::parse227("200 (127,0,0,1,4,1)\n", host, port); }), "reply");
    EXPECT_EQ(FTPClient::parse229("229 Entering Extended Passive Mode (|||6446|)\n"), 6446);
    EXPECT_EQ(errorKind([] { FTPClient::parse229("229 (|||99999|)\n"); }), "proto");
    EXPECT_EQ(FTPClient::parse257("257 \"/\" is the current directory\n"), "/");
    EXPECT_EQ(errorKind([] { FTPClient::parse257("257 no quotes\n"); }), "proto");
    EXPECT_EQ(errorKind([] { FTPClient::parse257("257 \"unterminated\n"); }), "proto");
    EXPECT_EQ(errorKind([] { FTPClient::parse257("250 \"/\" ok\n"); }), "reply");
}

namespace {

class FTPClientServer : public ::testing::Test {
protected:
    void startServer(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{lumo::test::testServerScript("ftp_server.py"),
                                      "--root",
                                      m_root.path(),
                                      "--user",
                                      "photo",
                                      "--password",
                                      "secret"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(m_server.start("/usr/bin/python3", args)) << m_server.error();
    }
    void connect(FTPClient& client) {
        client.open("127.0.0.1", m_server.port());
        client.login("photo", "secret");
    }
    // A throw-away self-signed certificate for 127.0.0.1: {certificate, key}.
    std::pair<std::string, std::string> makeCertificate(const std::string& name) {
        std::string cert = m_keys.file(name + ".pem"), key = m_keys.file(name + ".key");
        auto r = runProcess("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                                        "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                                        "subjectAltName=IP:127.0.0.1"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return {cert, key};
    }

    TempDir m_root, m_local, m_keys;
    ServerProcess m_server;
};

} // namespace

TEST_F(FTPClientServer, StoresFilesPassiveAndActiveWithProgress) {
    startServer();
    const std::string content = randomBytes(3 * FTPClient::kBlockSize + 1234, 7);
    writeWholeFile(m_local.file("photo.jpg"), content);
    writeWholeFile(m_local.file("empty.jpg"), "");
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        FTPClient client;
        client.setPassive(passive);
        connect(client);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
        auto listener = [&](std::uint64_t sent, std::uint64_t total) { progress.emplace_back(sent, total); };
        const std::string name = passive ? "passive.jpg" : "active.jpg";
        client.put_binary_file(m_local.file("photo.jpg"), name, listener);
        EXPECT_EQ(readWholeFile(m_root.file(name)), content);
        const std::uint64_t total = content.size();
        EXPECT_EQ(progress, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{
                                {0, total}, {32768, total}, {65536, total}, {98304, total}, {total, total}}));
        EXPECT_EQ(client.size(name), total);

        // An empty file: STOR and no data at all.
        progress.clear();
        client.put_binary_file(m_local.file("empty.jpg"), "empty-" + name, listener);
        EXPECT_TRUE(lumo::fileExists(m_root.file("empty-" + name)));
        EXPECT_EQ(readWholeFile(m_root.file("empty-" + name)), "");
        EXPECT_EQ(progress, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 0}}));

        std::string message;
        EXPECT_EQ(
            errorKind([&] { client.put_binary_file(m_local.file("missing.jpg"), "m.jpg", {}); }, &message),
            "io");
        EXPECT_EQ(message, "Couldn't open local file to get its size.");
        client.close();
    }
    // Over IPv6 the data connections are asked for with EPSV and EPRT.
    ServerProcess v6;
    ASSERT_TRUE(v6.start("/usr/bin/python3", {lumo::test::testServerScript("ftp_server.py"), "--root",
                                              m_root.path(), "--host", "::1"}))
        << v6.error();
    for (bool passive : {true, false}) {
        FTPClient client;
        client.setPassive(passive);
        client.open("::1", v6.port());
        client.login("photo", "secret");
        client.put_binary_file(m_local.file("photo.jpg"), passive ? "v6p.jpg" : "v6a.jpg", {});
        EXPECT_EQ(readWholeFile(m_root.file(passive ? "v6p.jpg" : "v6a.jpg")), content);
    }
    const std::string log = lumo::test::loggedSoFar();
    EXPECT_NE(log.find("FTP -> PASV"), std::string::npos);
    EXPECT_NE(log.find("FTP -> PORT 127,0,0,1,"), std::string::npos);
    EXPECT_NE(log.find("FTP -> EPSV"), std::string::npos);
    EXPECT_NE(log.find("FTP -> EPRT |2|::1|"), std::string::npos);
}

TEST_F(FTPClientServer, FoldersRenameSizeAndExistence) {
    startServer();
    writeWholeFile(m_local.file("a.jpg"), "12345");
    FTPClient client;
    connect(client);
    EXPECT_EQ(client.pwd(), "/");
    client.mkd("2026");
    client.cwd("2026");
    client.mkd("trip");
    client.cwd("trip");
    EXPECT_EQ(client.pwd(), "/2026/trip");
    client.put_binary_file(m_local.file("a.jpg"), "a.jpg", {});
    EXPECT_TRUE(client.exists("a.jpg"));
    EXPECT_FALSE(client.exists("b.jpg"));
    client.rename("a.jpg", "b.jpg");
    EXPECT_EQ(client.size("b.jpg"), 5u);
    EXPECT_TRUE(client.exists("/2026/trip/b.jpg"));
    client.cwd("..");
    EXPECT_EQ(client.pwd(), "/2026");
    client.mkd("gone");
    client.rmd("gone");
    EXPECT_EQ(readWholeFile(m_root.file("2026/trip/b.jpg")), "12345");
    EXPECT_FALSE(lumo::fileExists(m_root.file("2026/gone")));
    std::string message;
    EXPECT_EQ(errorKind([&] { client.cwd("nowhere"); }, &message), "perm");
    EXPECT_EQ(errorKind([&] { client.mkd("trip"); }), "perm");
    client.noop();
    EXPECT_TRUE(client.isConnected());

    // A server that does not do SIZE: existence comes from a name listing.
    ServerProcess plain;
    ASSERT_TRUE(plain.start("/usr/bin/python3", {lumo::test::testServerScript("ftp_server.py"), "--root",
                                                 m_root.path(), "--no-size"}))
        << plain.error();
    FTPClient other;
    other.open("127.0.0.1", plain.port());
    other.login("photo", "secret");
    other.cwd("2026/trip");
    EXPECT_TRUE(other.exists("b.jpg"));
    EXPECT_FALSE(other.exists("a.jpg"));
    EXPECT_TRUE(other.exists("/2026/trip/b.jpg"));
    EXPECT_EQ(other.nlst(""), (std::vector<std::string>{"b.jpg"}));
}

TEST_F(FTPClientServer, AbortEndsATransferAndAConnectWait) {
    startServer({"--read-limit", "65536"});
    // Larger than what the kernel may buffer on loopback (the send and receive buffers grow to several
    // MB): the server reads slowly, so the file is still being sent when the abort or the kill comes.
    std::string big;
    const std::string piece = randomBytes(1 << 20, 3);
    for (int i = 0; i < 40; ++i)
        big += piece;
    writeWholeFile(m_local.file("big.jpg"), big);
    FTPClient client;
    connect(client);
    std::atomic<std::uint64_t> sentSoFar{0};
    std::string message;
    auto start = std::chrono::steady_clock::now();
    {
        lumo::NamedThread aborter("aborter", 1u << 20, [&] {
            while (sentSoFar < 2 * FTPClient::kBlockSize)
                std::this_thread::sleep_for(10ms);
            client.abort();
        });
        EXPECT_EQ(errorKind(
                      [&] {
                          client.put_binary_file(
                              m_local.file("big.jpg"), "big.jpg",
                              [&](std::uint64_t sent, std::uint64_t) { sentSoFar = sent; });
                      },
                      &message),
                  "ftp");
    }
    EXPECT_EQ(message, "Aborting binary file transfer.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    EXPECT_FALSE(client.isConnected());

    // The server dies in the middle of a file: a plain I/O error, and the client knows to open again.
    FTPClient cut;
    connect(cut);
    sentSoFar = 0;
    {
        lumo::NamedThread killer("killer", 1u << 20, [&] {
            while (sentSoFar < 2 * FTPClient::kBlockSize)
                std::this_thread::sleep_for(10ms);
            m_server.kill();
        });
        EXPECT_EQ(errorKind(
                      [&] {
                          cut.put_binary_file(m_local.file("big.jpg"), "cut.jpg",
                                              [&](std::uint64_t sent, std::uint64_t) { sentSoFar = sent; });
                      },
                      &message),
                  "io");
    }
    EXPECT_EQ(message, "Socket error sending data to server.");
    EXPECT_FALSE(cut.isConnected());

    // Connecting to a port nobody listens on: tried once a second, until the abort.
    int closedPort = m_server.port();
    FTPClient waiting;
    start = std::chrono::steady_clock::now();
    {
        lumo::NamedThread aborter("aborter", 1u << 20, [&] {
            std::this_thread::sleep_for(1500ms);
            waiting.abort();
        });
        EXPECT_EQ(errorKind([&] { waiting.open("127.0.0.1", closedPort); }, &message), "io");
    }
    EXPECT_EQ(message, "Could not make connection to server.");
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 1400ms);
    EXPECT_LT(waited, 3s);

    // A server that takes the connection and never greets: the abort ends that wait too.
    ScriptedServer silent("", {"200 never asked\r\n"});
    FTPClient greeted;
    start = std::chrono::steady_clock::now();
    {
        lumo::NamedThread aborter("aborter", 1u << 20, [&] {
            std::this_thread::sleep_for(300ms);
            greeted.abort();
        });
        EXPECT_EQ(errorKind([&] { greeted.open("127.0.0.1", silent.port()); }, &message), "io");
    }
    EXPECT_EQ(message, "Aborted while waiting for server response.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

    FTPClient giveUp;
    giveUp.setConnectRetries(3, 20ms);
    EXPECT_EQ(errorKind([&] { giveUp.open("127.0.0.1", closedPort); }, &message), "io");
    FTPClient unknown;
    EXPECT_EQ(errorKind([&] { unknown.open("no-such-host.invalid", 21); }), "io");

    const std::string log = lumo::test::loggedSoFar();
    EXPECT_NE(log.find("TCPSocket::connect() failed, user aborted"), std::string::npos);
    EXPECT_NE(log.find("TCPSocket::connect() failed permanently"), std::string::npos);
    EXPECT_NE(log.find("ERROR: gethostbyname(no-such-host.invalid) failed"), std::string::npos);
    EXPECT_NE(log.find("FTPClient::open(): Could not make connection to server"), std::string::npos);
}

TEST_F(FTPClientServer, SecuredConnectionsCheckTheCertificate) {
    auto [cert, key] = makeCertificate("server");
    auto [otherCert, otherKey] = makeCertificate("other");
    startServer({"--tls-cert", cert, "--tls-key", key, "--tls-required"});
    const std::string content = randomBytes(100000, 11);
    writeWholeFile(m_local.file("secret.jpg"), content);

    auto fingerprint = runProcess("openssl", {"x509", "-in", cert, "-noout", "-fingerprint", "-sha256"});
    ASSERT_EQ(fingerprint.exitCode, 0);
    std::string digest = fingerprint.out.substr(fingerprint.out.find('=') + 1);
    digest.erase(digest.find_last_not_of("\r\n") + 1);

    for (const std::string& pin : {cert, digest}) {
        for (bool passive : {true, false}) {
            SCOPED_TRACE(pin + (passive ? " passive" : " active"));
            FTPClient client;
            client.setSecurity({true, pin});
            client.setPassive(passive);
            connect(client);
            client.mkd(passive ? "p" : "a");
            client.put_binary_file(m_local.file("secret.jpg"), (passive ? "p/" : "a/") + std::string("s.jpg"),
                                   {});
            EXPECT_TRUE(client.exists(passive ? "p/s.jpg" : "a/s.jpg"));
            client.close();
            EXPECT_EQ(readWholeFile(m_root.file(passive ? "p/s.jpg" : "a/s.jpg")), content);
            lumo::removeFile(m_root.file(passive ? "p/s.jpg" : "a/s.jpg"));
            ::rmdir(m_root.file(passive ? "p" : "a").c_str());
        }
    }

    // Each data connection resumed the control connection's TLS session (servers may insist on it).
    EXPECT_EQ(lumo::test::loggedSoFar().find("did not resume the TLS session"), std::string::npos);

    // The wrong pin, and a self-signed certificate against the system's store, are refused; so is a plain
    // login where the server insists on TLS.
    for (const FTPSecurity& security : {FTPSecurity{true, otherCert}, FTPSecurity{true, ""}}) {
        FTPClient client;
        client.setSecurity(security);
        std::string message;
        EXPECT_EQ(errorKind([&] { client.open("127.0.0.1", m_server.port()); }, &message), "io");
        EXPECT_EQ(message.rfind("Could not secure the connection to server.", 0), 0u) << message;
        EXPECT_FALSE(client.isConnected());
    }
    FTPClient plain;
    plain.open("127.0.0.1", m_server.port());
    EXPECT_EQ(errorKind([&] { plain.login("photo", "secret"); }), "ftp");
}
