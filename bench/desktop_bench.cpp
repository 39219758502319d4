// The desktop's contact sheet over a folder of camera files (2,000 by default), in this process under
// the offscreen platform at 1600x1000: the time from opening the folder until the first screen of
// thumbnails is complete, with a cold cache (a fresh cache folder, the photos' pages dropped from the
// disk cache) and a warm one (the same cache folder again, in a fresh process), then the time to scroll to
// the end page by page with every visible cell filled. vipsthumbnail and exiftool make thumbnails of the
// first screen's files for comparison. Not a test: run it by hand, on a release build for numbers that
// mean something.
//
//   bench_desktop [COUNT] [FOLDER]     (COUNT defaults to 2000; FOLDER to a fresh temporary folder)
//
// $LUMO_BENCH_PHOTOS names a folder of real photos to open instead. Each measurement runs in a child
// process of this program (bench_desktop --measure FOLDER LISTFILE), so that no memory cache is shared.

#include "BenchSupport.h"

#include "ContactSheetView.h"
#include "DesktopServices.h"
#include "LumoDoc.h"

#include "app/LumoApp.h"
#include "app/LumoPaths.h"
#include "app/UIThread.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

using lumo::bench::cameraFiles;
using lumo::bench::shellQuoted;
using lumo::bench::timed;

namespace {

constexpr int kWidth = 1600;
constexpr int kHeight = 1000;
constexpr int kTimeoutMs = 300000;

// ---- the measuring child

bool runEventsUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        runUIThreadTasks();
    }
    return true;
}

int measure(int argc, char** argv, const std::string& folder, const std::string& listFile) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    LumoPaths::initialise(LocationInputs{});
    CLumoApp app;
    addDesktopServices(app);
    if (!app.InitInstance()) {
        std::fprintf(stderr, "bench_desktop: the services did not start\n");
        return 1;
    }
    int result = 0;
    {
        CLumoDoc document;
        CContactSheetView view(&document);
        view.resize(kWidth, kHeight);
        view.show();

        QElapsedTimer clock;
        clock.start();
        if (!document.openFolders({folder})) {
            std::fprintf(stderr, "bench_desktop: %s could not be opened\n", folder.c_str());
            result = 1;
        }
        const auto screenComplete = [&] {
            return !document.isSorting() && !document.displayedItems().empty() && view.visibleCellsComplete();
        };
        const bool complete = result == 0 && runEventsUntil(screenComplete, kTimeoutMs);
        const double firstScreen = static_cast<double>(clock.nsecsElapsed()) / 1e9;

        // The first screen's files, for the reference tools.
        std::ofstream list(listFile);
        int cells = 0;
        const QRect viewport = view.viewport()->rect();
        for (int row = 0; view.model() && row < view.model()->rowCount(); ++row) {
            const QRect cell = view.visualRect(view.model()->index(row, 0));
            if (cell.top() >= viewport.bottom())
                break;
            if (!cell.intersects(viewport) || row >= static_cast<int>(document.displayedItems().size()))
                continue;
            list << document.displayedItems()[static_cast<std::size_t>(row)]->FullPath() << '\n';
            ++cells;
        }

        // Page by page to the end, each page complete before the next.
        QScrollBar* bar = view.verticalScrollBar();
        int pages = 0;
        bool scrolled = complete;
        clock.restart();
        while (scrolled && bar->value() < bar->maximum()) {
            bar->setValue(std::min(bar->maximum(), bar->value() + std::max(1, bar->pageStep())));
            ++pages;
            scrolled = runEventsUntil([&] { return view.visibleCellsComplete(); }, kTimeoutMs);
        }
        const double scroll = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        std::printf("items=%zu cells=%d first_screen=%.4f complete=%d pages=%d scroll=%.4f scrolled=%d\n",
                    document.displayedItems().size(), cells, firstScreen, complete ? 1 : 0, pages, scroll,
                    scrolled ? 1 : 0);
        std::fflush(stdout);
        if (!complete || !scrolled)
            result = 1;
    }
    app.ExitInstance();
    return result;
}

// ---- the parent

// Drops the files' pages from the disk cache (posix_fadvise), leaving the rest of the machine's cache
// alone. True when every file's pages were dropped.
bool dropFromDiskCache(const std::vector<std::string>& files) {
    ::sync();
    bool all = true;
    for (const std::string& file : files) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0)
            all = false;
        if (fd >= 0)
            ::close(fd);
    }
    return all;
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(folder, ec))
        if (entry.is_regular_file())
            files.push_back(entry.path().string());
    return files;
}

std::vector<std::string> linesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

struct Run {
    bool ok = false;
    std::size_t items = 0;
    int cells = 0, pages = 0;
    double firstScreen = 0, scroll = 0;
};

Run runChild(const std::string& self, const std::string& folder, const std::string& listFile,
             const std::string& env) {
    Run run;
    const std::string command = env + shellQuoted(self) + " --measure " + shellQuoted(folder) + " " +
                                shellQuoted(listFile) + " 2>/dev/null";
    FILE* out = ::popen(command.c_str(), "r");
    if (!out)
        return run;
    char line[512];
    while (std::fgets(line, sizeof line, out)) {
        int complete = 0, scrolled = 0;
        if (std::sscanf(
                line, "items=%zu cells=%d first_screen=%lf complete=%d pages=%d scroll=%lf scrolled=%d",
                &run.items, &run.cells, &run.firstScreen, &complete, &run.pages, &run.scroll, &scrolled) == 7)
            run.ok = complete && scrolled;
    }
    const int status = ::pclose(out);
    run.ok = run.ok && status == 0;
    return run;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--measure")
        return measure(argc, argv, argv[2], argv[3]);

    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    std::string folder = argc > 2 ? argv[2] : "";
    char work[] = "/tmp/lumo-desktop-bench-XXXXXX";
    if (count <= 0 || !::mkdtemp(work))
        return 1;
    if (const char* photos = std::getenv("LUMO_BENCH_PHOTOS"); photos && *photos) {
        folder = photos;
        std::printf("folder: %s ($LUMO_BENCH_PHOTOS)\n", folder.c_str());
    } else {
        const std::vector<std::string> sources = cameraFiles(LUMO_CORPUS_DIR);
        if (sources.empty()) {
            std::fprintf(stderr, "bench_desktop: no camera files in %s\n", LUMO_CORPUS_DIR);
            return 1;
        }
        if (folder.empty())
            folder = std::string(work) + "/photos";
        fs::create_directories(folder);
        // Copies, not links: dropping a copy from the disk cache leaves the corpus alone.
        for (int i = 0; i < count; ++i) {
            const std::string& source = sources[static_cast<std::size_t>(i) % sources.size()];
            char name[64];
            std::snprintf(name, sizeof name, "/P%05d", i);
            const std::string target = folder + name + fs::path(source).extension().string();
            if (!fs::exists(target))
                fs::copy_file(source, target);
        }
        std::printf("folder: %s (%d camera files from %zu corpus files)\n", folder.c_str(), count,
                    sources.size());
    }

    const std::string home = std::string(work) + "/home";
    fs::create_directories(home + "/settings");
    fs::create_directories(home + "/runtime");
    fs::permissions(home + "/runtime", fs::perms::owner_all);
    const std::string env = "HOME=" + shellQuoted(home) +
                            " XDG_RUNTIME_DIR=" + shellQuoted(home + "/runtime") +
                            " LUMO_SETTINGS_PATH=" + shellQuoted(home + "/settings") +
                            " LUMO_CACHE_PATH=" + shellQuoted(home + "/cache") + " ";
    const std::string self = fs::canonical("/proc/self/exe").string();
    const std::string listFile = std::string(work) + "/first-screen.txt";
    const std::vector<std::string> photos = filesIn(folder);

    const bool dropped = dropFromDiskCache(photos);
    const Run cold = runChild(self, folder, listFile, env);
    const Run warm = runChild(self, folder, listFile, env);
    const Run warm2 = runChild(self, folder, listFile, env);
    const Run& bestWarm = warm2.ok && warm2.firstScreen < warm.firstScreen ? warm2 : warm;

    const auto line = [](const char* what, const Run& run) {
        if (!run.ok)
            std::printf("%-44s failed (first screen %.3f s)\n", what, run.firstScreen);
        else
            std::printf("%-44s first screen %7.3f s (%d cells)   scroll to the end %7.3f s (%d pages)\n",
                        what, run.firstScreen, run.cells, run.scroll, run.pages);
    };
    std::printf("contact sheet of %zu items at %dx%d\n", cold.items, kWidth, kHeight);
    line("lumograph, cold (fresh cache, files dropped)", cold);
    line("lumograph, warm (same cache, new process)", bestWarm);

    // The references make thumbnails of the same first screen's files.
    const std::vector<std::string> firstScreen = linesOf(listFile);
    if (!firstScreen.empty()) {
        std::string files;
        for (const std::string& file : firstScreen)
            files += " " + shellQuoted(file);
        const std::string out = std::string(work) + "/reference";
        fs::create_directories(out);
        // vipsthumbnail stops at the first file it cannot read: one call per file, as a viewer would.
        const std::string vips = "(for f in" + files + "; do vipsthumbnail --size 160 -o " +
                                 shellQuoted(out + "/%s_vips.jpg") + " \"$f\"; done; true)";
        // -m: a thumbnail exiftool finds malformed is still written, as the work was done.
        const std::string exiftool =
            "exiftool -m -q -b -ThumbnailImage -w " + shellQuoted(out + "/%f_exif.jpg") + files;
        const auto made = [&](const char* suffix) {
            int n = 0;
            for (const std::string& file : filesIn(out))
                n += file.ends_with(suffix) ? 1 : 0;
            return n;
        };
        dropFromDiskCache(firstScreen);
        const double vipsCold = timed(vips);
        fs::remove_all(out);
        fs::create_directories(out);
        const double vipsWarm = timed(vips);
        const int vipsMade = made("_vips.jpg");
        dropFromDiskCache(firstScreen);
        const double exifCold = timed(exiftool, true);
        fs::remove_all(out);
        fs::create_directories(out);
        const double exifWarm = timed(exiftool, true);
        const auto reference = [&](const char* what, double seconds, double ours, int thumbnails) {
            if (seconds <= 0)
                std::printf("%-44s failed\n", what);
            else
                std::printf("%-44s %7.3f s (%d thumbnails)   lumograph first screen / this = %.2f\n", what,
                            seconds, thumbnails, ours / seconds);
        };
        std::printf("references over the first screen's %zu files:\n", firstScreen.size());
        const int exifMade = made("_exif.jpg");
        reference("vipsthumbnail --size 160 (cold)", vipsCold, cold.firstScreen, vipsMade);
        reference("vipsthumbnail --size 160 (warm)", vipsWarm, bestWarm.firstScreen, vipsMade);
        reference("exiftool -b -ThumbnailImage (cold)", exifCold, cold.firstScreen, exifMade);
        reference("exiftool -b -ThumbnailImage (warm)", exifWarm, bestWarm.firstScreen, exifMade);
        std::printf("(lumograph's first screen includes opening, scanning and sorting the whole folder)\n");
    }
    if (!dropped)
        std::printf("note: some photos could not be dropped from the disk cache\n");
    // A folder given on the command line lives outside the work folder and stays.
    fs::remove_all(work);
    return cold.ok && bestWarm.ok ? 0 : 1;
}
