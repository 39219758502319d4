// Live ingest latency: each camera file of the corpus written into a watched folder, and the time from
// its close to its verified copy in two destinations (the task's report of it), for single files and
// for raw+JPEG pairs (from the close of the pair's second file).

#include "BenchSupport.h"

#include "NRF/NRF.h"
#include "background/ProgressDialogInterface.h"
#include "fileops/LiveIngest.h"
#include "metadata/PhotoMetadata.h"
#include "support/FileIO.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void report(const char* label, std::vector<double> ms) {
    if (ms.empty())
        return;
    std::sort(ms.begin(), ms.end());
    std::printf("%-22s %3zu photos  median %6.1f ms  p90 %6.1f ms  max %6.1f ms\n", label, ms.size(),
                ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms.back());
}

} // namespace

int main() {
    std::string base = fs::temp_directory_path().string() + "/lumo-live-bench-XXXXXX";
    if (!::mkdtemp(base.data()))
        return 1;
    ::setenv("LUMO_SETTINGS_PATH", (base + "/settings").c_str(), 1);
    ::setenv("LUMO_CACHE_PATH", (base + "/cache").c_str(), 1);
    if (NRFInit("") != kNRFErrNone || IPTCMetadataInitialize() != kNRFErrNone)
        return 1;
    const std::vector<std::string> files = lumo::bench::cameraFiles(LUMO_CORPUS_DIR);
    std::vector<std::string> jpegs, raws;
    for (const std::string& file : files) {
        std::string ext = fs::path(file).extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
        // A JPEG cut short (the corpus holds some) never counts as complete.
        if (ext == ".jpg" || ext == ".jpeg") {
            if (LiveIngestCopyThread::jpeg_file_is_complete(file))
                jpegs.push_back(file);
        } else if (LiveIngestCopyThread::file_is_raw_type(file)) {
            raws.push_back(file);
        }
    }
    const std::string src = base + "/src";
    fs::create_directories(src);

    LiveIngestSpec spec;
    spec.m_sourcePaths = {src};
    spec.m_destSpecs = {{base + "/d1", false, false, "", kIngestIgnoreSourceDirs, false},
                        {base + "/d2", false, false, "", kIngestIgnoreSourceDirs, false}};
    ProgressDialogInterface progress;
    LiveIngestCopyThread task(spec, &progress);
    std::mutex lock;
    std::condition_variable told;
    std::size_t done = 0;
    Clock::time_point last;
    task.m_onIngested = [&](const LiveIngestCopyThread::PhotoResult&) {
        std::lock_guard guard(lock);
        ++done;
        last = Clock::now();
        told.notify_all();
    };
    if (!task.Start())
        return 1;
    while (!task.Watching())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    // One photo at a time: written, closed, and waited for.
    const auto ingest = [&](const std::vector<std::pair<std::string, std::string>>& writes) {
        std::unique_lock guard(lock);
        const std::size_t before = done;
        guard.unlock();
        for (const auto& [from, to] : writes)
            writeFile(to, bytesOf(from));
        const Clock::time_point closed = Clock::now();
        guard.lock();
        if (!told.wait_for(guard, std::chrono::seconds(5), [&] { return done > before; }))
            return -1.0;
        const double ms = std::chrono::duration<double, std::milli>(last - closed).count();
        // A pair the engine does not see as one comes as two photos: the second is let in before the next.
        guard.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        return ms;
    };
    if (jpegs.empty())
        return 1;
    std::vector<double> single, pairs;
    std::size_t n = 0;
    for (const std::string& jpeg : jpegs) {
        const double ms = ingest({{jpeg, src + "/J" + std::to_string(++n) + ".jpg"}});
        if (ms >= 0)
            single.push_back(ms);
    }
    for (const std::string& raw : raws) {
        const std::string stem = src + "/P" + std::to_string(++n);
        const double ms = ingest(
            {{raw, stem + fs::path(raw).extension().string()}, {jpegs[n % jpegs.size()], stem + ".jpg"}});
        if (ms >= 0)
            pairs.push_back(ms);
    }
    progress.SetCancelled(true);
    task.Join();
    report("single JPEG", single);
    report("raw+JPEG pair", pairs);
    std::error_code ec;
    fs::remove_all(base, ec);
    return 0;
}
