// Upload throughput on loopback: 200 MB of files (20 of 10 MB, in a tmpfs folder) stored by FTPClient
// over one connection, against `curl -T "{a,b,...}"` storing the same files over one connection, to
// the same pyftpdlib server (tests/support/servers/ftp_server.py, its root in tmpfs too). Each side
// runs several rounds, alternating, and the best round counts. FTPClient runs with the 32768-byte
// blocks of its progress sent one per system call, and with several blocks per call; with
// LUMO_FTP_BENCH_TLS=1 both sides use explicit TLS with a throw-away certificate.
//
//   bench_ftp [rounds]

#include "transfer/FTPClient.h"

#include "BenchSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int kFiles = 20;
constexpr std::size_t kFileSize = 10u << 20;

struct Server {
    pid_t pid = -1;
    int port = 0;
    ~Server() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

bool startServer(Server& server, const std::vector<std::string>& args) {
    int out[2];
    if (::pipe(out) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawn(&server.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        server.pid = -1;
        return false;
    }
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n')
        line += c;
    ::close(out[0]);
    return std::sscanf(line.c_str(), "ready %d", &server.port) == 1;
}

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    const bool tls =
        std::getenv("LUMO_FTP_BENCH_TLS") && std::string(std::getenv("LUMO_FTP_BENCH_TLS")) == "1";
    namespace fs = std::filesystem;
    const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    const fs::path work = base / ("lumo_ftp_bench_" + std::to_string(::getpid()));
    const fs::path local = work / "local", root = work / "root";
    fs::create_directories(local);
    fs::create_directories(root);

    std::mt19937_64 generator(42);
    std::vector<std::string> files;
    std::string block(kFileSize, '\0');
    for (int i = 0; i < kFiles; ++i) {
        for (std::size_t j = 0; j + 8 <= block.size(); j += 8) {
            std::uint64_t v = generator();
            std::memcpy(&block[j], &v, 8);
        }
        files.push_back((local / ("IMG_" + std::to_string(1000 + i) + ".JPG")).string());
        std::ofstream(files.back(), std::ios::binary)
            .write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    const double megabytes = double(kFiles) * double(kFileSize) / 1e6;

    std::vector<std::string> args{"/usr/bin/python3", LUMO_FTP_SERVER_SCRIPT, "--root", root.string()};
    std::string cert = (work / "cert.pem").string(), key = (work / "key.pem").string();
    if (tls) {
        std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                           " -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1";
        if (lumo::bench::timed(make) < 0) {
            std::fprintf(stderr, "openssl could not make a certificate\n");
            return 1;
        }
        args.insert(args.end(), {"--tls-cert", cert, "--tls-key", key});
    }
    Server server;
    if (!startServer(server, args)) {
        std::fprintf(stderr, "the FTP server did not start\n");
        return 1;
    }

    auto ours = [&](int blocksPerSend) {
        fs::remove_all(root / "ours");
        auto start = std::chrono::steady_clock::now();
        FTPClient client;
        client.setLogging(false);
        client.setBlocksPerSend(blocksPerSend);
        if (tls)
            client.setSecurity({true, cert});
        client.open("127.0.0.1", server.port);
        client.login("photo", "secret");
        client.mkd("ours");
        client.cwd("ours");
        for (const auto& f : files)
            client.put_binary_file(f, fs::path(f).filename().string(), {});
        client.close();
        return seconds(start);
    };
    std::string list;
    for (const auto& f : files)
        list += (list.empty() ? "" : ",") + f;
    const std::string curl =
        "curl -s -S --ftp-create-dirs --user photo:secret " +
        std::string(tls ? "--ssl-reqd --cacert " + lumo::bench::shellQuoted(cert) + " " : "") + "-T " +
        lumo::bench::shellQuoted("{" + list + "}") + " ftp://127.0.0.1:" + std::to_string(server.port) +
        "/curl/";

    double best1 = 1e9, best8 = 1e9, bestCurl = 1e9;
    for (int round = 0; round < rounds; ++round) {
        best1 = std::min(best1, ours(1));
        fs::remove_all(root / "curl");
        // curl 7.88's FTPS does not get along with pyftpdlib's TLS (its data connections are reset):
        // then only FTPClient's figures are shown.
        double c = lumo::bench::timed(curl);
        if (c < 0)
            std::fprintf(stderr, "curl failed: %s\n", curl.c_str());
        else
            bestCurl = std::min(bestCurl, c);
        best8 = std::min(best8, ours(8));
    }
    std::printf("%s upload of %d files, %.0f MB on loopback (best of %d)\n", tls ? "FTPS" : "FTP", kFiles,
                megabytes, rounds);
    std::printf("  FTPClient, 32 KiB per send:  %7.1f MB/s\n", megabytes / best1);
    std::printf("  FTPClient, 256 KiB per send: %7.1f MB/s\n", megabytes / best8);
    if (bestCurl < 1e9) {
        std::printf("  curl -T:                     %7.1f MB/s\n", megabytes / bestCurl);
        std::printf("  ratio to curl: %.2f (32 KiB), %.2f (256 KiB)\n", bestCurl / best1, bestCurl / best8);
    }
    fs::remove_all(work);
    return 0;
}
