// The movie-frame renderer and the engine's use of it: movies made here with known pictures per second
// (taken at several times, past the end, turned by a display matrix, under an awkward name), the
// corpus movies, and stand-in renderers that write broken frame files or none.

#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFDecode.h"
#include "NRF/NRFVideoRender.h"
#include "app/LumoLogger.h"
#include "app/LumoPaths.h"
#include "support/MovieMaker.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using lumo::test::MoviePlan;
using lumo::test::Rgb;
using lumo::test::TempDir;

using lumo::test::loggedSoFar;

namespace {

namespace fs = std::filesystem;

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// Frame files left in the cache folder.
int frameFilesLeft() {
    int count = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(LumoPaths::imageCacheFolder(), ec))
        if (entry.path().extension() == ".bin" || entry.path().extension() == ".part")
            ++count;
    return count;
}

constexpr Rgb kRed{200, 40, 40}, kGreen{40, 180, 60}, kBlue{40, 60, 200}, kWhite{230, 230, 230},
    kYellow{220, 210, 40};

::testing::AssertionResult pixelNear(const NRFBitmapBase& bitmap, std::uint32_t x, std::uint32_t y, Rgb want,
                                     int tolerance = 14) {
    const std::uint8_t* p = bitmap.Row(y) + 3 * std::size_t{x};
    for (int c = 0; c < 3; ++c)
        if (std::abs(int(p[c]) - int(want[c])) > tolerance)
            return ::testing::AssertionFailure()
                   << "pixel (" << x << "," << y << ") is " << int(p[0]) << "," << int(p[1]) << ","
                   << int(p[2]) << ", wanted " << int(want[0]) << "," << int(want[1]) << "," << int(want[2]);
    return ::testing::AssertionSuccess();
}

class VideoRenderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string run = lumo::test::testRunFolder();
        LumoPaths::initialise(ResolvedLocations{run + "/settings", run + "/cache"});
    }
    static void TearDownTestSuite() { LumoPaths::reset(); }
    void SetUp() override {
        ::setenv("LUMO_VIDEORENDER", LUMO_VIDEORENDER_PROGRAM, 1);
        ::unsetenv("GST_PLUGIN_PATH");
    }
    void TearDown() override {
        ::unsetenv("LUMO_VIDEORENDER");
        ::unsetenv("GST_PLUGIN_PATH");
        EXPECT_EQ(frameFilesLeft(), 0) << "frame files left in the cache folder";
    }

    // Red, green, blue, white for one second each at 5 frames a second; key frames every 12 frames.
    std::string fourSecondMovie(const std::string& name, double rotation = 0) {
        MoviePlan plan;
        plan.seconds = {{kRed, kRed}, {kGreen, kGreen}, {kBlue, kBlue}, {kWhite, kYellow}};
        plan.displayRotation = rotation;
        const std::string path = m_dir.file(name);
        std::string error;
        EXPECT_TRUE(lumo::test::makeMovie(path, plan, error)) << error;
        return path;
    }

    // A renderer standing in for the real one: a shell script that finds the -o value, runs `body`
    // with it in $out, and notes its arguments one a line in args.txt.
    std::string fakeRenderer(const std::string& body) {
        const std::string path = m_dir.file("fake-render.sh"), args = "'" + m_dir.file("args.txt") + "'";
        std::string script = "#!/bin/sh\n";
        script += ": > " + args + "\n";
        script += "for a in \"$@\"; do printf '%s\\n' \"$a\" >> " + args + "; done\n";
        script += "while [ $# -gt 1 ]; do\n";
        script += "  if [ \"$1\" = -o ]; then out=\"$2\"; shift; fi\n";
        script += "  shift\n";
        script += "done\n";
        lumo::test::writeWholeFile(path, script + body + "\n");
        ::chmod(path.c_str(), 0755);
        return path;
    }

    TempDir m_dir;
};

TEST_F(VideoRenderTest, FramesAtTimesHaveTheirSecondsColours) {
    const std::string movie = fourSecondMovie("colours.mov");
    struct Case {
        double seconds;
        Rgb top, bottom;
    };
    // clang-format off
    const Case cases[] = {
        {0, kRed, kRed},
        {1.0, kGreen, kGreen},
        {1.5, kGreen, kGreen},  // the frame at 1.6 s
        {2.0, kBlue, kBlue},    // ten frames after the key frame at 0
        {2.9, kWhite, kYellow}, // the frame at 3.0 s, after the key frame at 2.4 s
        {3.6, kWhite, kYellow},
        {100, kWhite, kYellow}, // past the end: the last frame
        {-3, kRed, kRed},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        NRFBitmapBase bitmap;
        ASSERT_EQ(NRFRenderMovieFrame(movie, c.seconds, bitmap), 0u);
        ASSERT_EQ(bitmap.Width(), 64u);
        ASSERT_EQ(bitmap.Height(), 48u);
        ASSERT_EQ(bitmap.Channels(), 3);
        EXPECT_TRUE(pixelNear(bitmap, 32, 8, c.top));
        EXPECT_TRUE(pixelNear(bitmap, 5, 40, c.bottom));
        EXPECT_TRUE(pixelNear(bitmap, 63, 0, c.top));
    }
    const std::string log = loggedSoFar();
    EXPECT_NE(log.find("[GstVideoRender]:"), std::string::npos);
    EXPECT_NE(log.find("stdout: rendered 64x48 frame"), std::string::npos);
    EXPECT_NE(log.find("NRFWinBitmap::LoadVideoFile() succeded in rendering video file."), std::string::npos);
    // No plugin folder anywhere: said once, however many frames.
    EXPECT_EQ(occurrences(log, "ERROR: Gstreamer plugin path empty: not providing -g parameter to command "
                               "line params."),
              1u);
}

TEST_F(VideoRenderTest, SeveralThreadsRenderAtOnce) {
    const std::string movie = fourSecondMovie("shared.mov");
    const Rgb want[4] = {kRed, kGreen, kBlue, kWhite};
    NRFBitmapBase bitmaps[8];
    NRFErr results[8] = {};
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < 8; ++i)
            threads.emplace_back(
                [&, i] { results[i] = NRFRenderMovieFrame(movie, i % 4 + 0.1, bitmaps[i]); });
    }
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(results[i], 0u);
        EXPECT_TRUE(pixelNear(bitmaps[i], 10, 10, want[i % 4]));
    }
}

TEST_F(VideoRenderTest, FrameComesAsStoredWhateverTheTrackMatrix) {
    // The movie reader turns the frame by the track's matrix (the record's rotation); the renderer must
    // not turn it as well.
    for (const double matrixTurn : {90.0, 180.0}) {
        SCOPED_TRACE(matrixTurn);
        const std::string movie =
            fourSecondMovie("turned" + std::to_string(int(matrixTurn)) + ".mp4", matrixTurn);
        if (const auto info = lumo::test::exiftoolJson({"-n", "-Rotation", movie}))
            EXPECT_EQ((*info)[0].value("Rotation", -1), int(matrixTurn));
        NRFBitmapBase bitmap;
        ASSERT_EQ(NRFRenderMovieFrame(movie, 3.2, bitmap), 0u);
        ASSERT_EQ(bitmap.Width(), 64u);
        ASSERT_EQ(bitmap.Height(), 48u);
        EXPECT_TRUE(pixelNear(bitmap, 32, 8, kWhite));
        EXPECT_TRUE(pixelNear(bitmap, 32, 40, kYellow));
    }
}

TEST_F(VideoRenderTest, AwkwardMovieNamesArePassedAsTheyAre) {
    const std::string made = fourSecondMovie("plain.mov");
    for (const std::string name :
         {"-t 9 \"quoted\" it's $(touch pwned) `x`; a.mov", "with  spaces & * ?.mov"}) {
        SCOPED_TRACE(name);
        const std::string movie = m_dir.file(name);
        fs::copy_file(made, movie);
        NRFBitmapBase bitmap;
        ASSERT_EQ(NRFRenderMovieFrame(movie, 2.0, bitmap), 0u);
        EXPECT_TRUE(pixelNear(bitmap, 32, 24, kBlue));
    }
    EXPECT_FALSE(fs::exists(m_dir.file("pwned")));
    EXPECT_FALSE(fs::exists("pwned"));
}

TEST_F(VideoRenderTest, AMovieNamedLikeAURLIsThatFileAndNothingElse) {
    // Anything that connects here is a failure.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));

    const std::string made = fourSecondMovie("plain.mov");
    MoviePlan yellow;
    yellow.seconds = {{kYellow, kYellow}, {kYellow, kYellow}, {kYellow, kYellow}};
    std::string error;
    ASSERT_TRUE(lumo::test::makeMovie(m_dir.file("other.mov"), yellow, error)) << error;
    // Named relative to the folder the program runs in, as a user types them.
    const fs::path before = fs::current_path();
    fs::current_path(m_dir.path());
    for (const std::string& name :
         {"http:127.0.0.1:" + port + "?b.mov", "tcp:127.0.0.1:" + port + "?b.mov",
          std::string("file:other.mov"), std::string("concat:other.mov|other.mov")}) {
        SCOPED_TRACE(name);
        fs::copy_file(made, name);
        NRFBitmapBase bitmap;
        EXPECT_EQ(NRFRenderMovieFrame(name, 2.0, bitmap), 0u);
        EXPECT_TRUE(pixelNear(bitmap, 32, 24, kBlue)); // this file's second 2, not the yellow movie
    }
    fs::current_path(before);
    EXPECT_LT(::accept(listener, nullptr, nullptr), 0);
    EXPECT_EQ(errno, EAGAIN);
    ::close(listener);
}

TEST_F(VideoRenderTest, CorpusMovies) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        LUMO_SKIP_OR_FAIL("corpus missing");
    const std::string sample = corpus + "/exiv2/sample_640x360.mov";
    NRFBitmapBase bitmap;
    ASSERT_EQ(NRFRenderMovieFrame(sample, 1.0, bitmap), 0u);
    EXPECT_EQ(bitmap.Width(), 640u);
    EXPECT_EQ(bitmap.Height(), 360u);
    if (const auto info = lumo::test::exiftoolJson({"-n", "-ImageWidth", "-ImageHeight", sample})) {
        EXPECT_EQ((*info)[0].value("ImageWidth", 0), 640);
        EXPECT_EQ((*info)[0].value("ImageHeight", 0), 360);
    }
    // Not a picture of one flat colour.
    std::uint32_t lo = 255, hi = 0;
    for (std::uint32_t y = 0; y < bitmap.Height(); y += 7)
        for (std::uint32_t x = 0; x < bitmap.Width(); x += 7)
            lo = std::min<std::uint32_t>(lo, bitmap.Row(y)[3 * x + 1]),
            hi = std::max<std::uint32_t>(hi, bitmap.Row(y)[3 * x + 1]);
    EXPECT_GT(hi - lo, 60u);
    // Under a decode memory limit of 2 MiB the renderer's decoder refuses 640 x 360 pictures.
    const std::uint64_t limit = NRFDecodeMemoryLimit();
    NRFSetDecodeMemoryLimit(std::uint64_t{2} << 20);
    NRFBitmapBase refused;
    EXPECT_NE(NRFRenderMovieFrame(sample, 1.0, refused), 0u);
    EXPECT_TRUE(refused.Empty());
    NRFSetDecodeMemoryLimit(limit);

    // HEVC, portrait, shorter than the time asked for.
    const std::string portrait = corpus + "/exiv2/small_video.mp4";
    NRFBitmapBase small;
    EXPECT_EQ(NRFRenderMovieFrame(portrait, 5, small), 0u);
    EXPECT_EQ(small.Width(), 216u);
    EXPECT_EQ(small.Height(), 384u);
    if (const auto info = lumo::test::exiftoolJson({"-n", "-ImageWidth", "-ImageHeight", portrait})) {
        EXPECT_EQ((*info)[0].value("ImageWidth", 0), int(small.Width()));
        EXPECT_EQ((*info)[0].value("ImageHeight", 0), int(small.Height()));
    }

    // Broken files fail cleanly, and so does a file that is not there.
    for (const char* name :
         {"exiv2/issue_2340_poc.mp4", "exiv2/issue_ghsa_crmj_qh74_2r36_poc.mov", "no-such.mov"}) {
        SCOPED_TRACE(name);
        NRFBitmapBase broken;
        EXPECT_NE(NRFRenderMovieFrame(corpus + "/" + name, 1.0, broken), 0u);
        EXPECT_TRUE(broken.Empty());
    }
    EXPECT_NE(loggedSoFar().find("NRFRenderMovieFrame() the renderer failed on '" + corpus +
                                 "/no-such.mov' (exit status 2)"),
              std::string::npos);
}

TEST_F(VideoRenderTest, MissingRenderer) {
    ::setenv("LUMO_VIDEORENDER", m_dir.file("nowhere/lumo-videorender").c_str(), 1);
    NRFBitmapBase bitmap;
    EXPECT_NE(NRFRenderMovieFrame(m_dir.file("any.mov"), 1, bitmap), 0u);
    EXPECT_TRUE(bitmap.Empty());
    EXPECT_NE(loggedSoFar().find("ERROR: VideoRender path ('" + m_dir.file("nowhere/lumo-videorender") +
                                 "') does not exist."),
              std::string::npos);

    ::unsetenv("LUMO_VIDEORENDER");
    const std::string found = NRFVideoRenderPath();
    EXPECT_EQ(fs::path(found).filename(), "lumo-videorender");
}

TEST_F(VideoRenderTest, BrokenFrameFiles) {
    ::setenv("GST_PLUGIN_PATH", "/opt/plug ins", 1);
    const std::string movie = m_dir.file("it's a \"movie\".mov");
    auto render = [&](const std::string& body) {
        ::setenv("LUMO_VIDEORENDER", fakeRenderer(body).c_str(), 1);
        NRFBitmapBase bitmap;
        const NRFErr rc = NRFRenderMovieFrame(movie, 2.5, bitmap);
        EXPECT_TRUE(bitmap.Empty());
        return rc;
    };
    const std::string header =
        "printf 'LVRF\\001\\000\\000\\000\\004\\000\\000\\000\\002\\000\\000\\000\\014\\000\\000\\000'";

    std::string before = loggedSoFar();
    EXPECT_EQ(render("echo to out; echo to err >&2; printf 'XXXX' > \"$out\""), 9u);
    std::string log = loggedSoFar().substr(before.size());
    EXPECT_NE(log.find("NRFWinBitmap::LoadVideoFile() render header invalid."), std::string::npos);
    EXPECT_NE(log.find("stdout: to out\n"), std::string::npos);
    EXPECT_NE(log.find("stderr: to err\n"), std::string::npos);
    // The arguments, each whole.
    const std::string args = lumo::test::readWholeFile(m_dir.file("args.txt"));
    const std::string cache = LumoPaths::imageCacheFolder() + "/VideoRender-";
    EXPECT_EQ(args.substr(0, 15), "-t\n2.500000\n-o\n");
    EXPECT_EQ(args.find(cache), 15u) << args;
    // The decode memory limit in MiB: the renderer's decoder refuses larger pictures.
    EXPECT_NE(args.find(".bin\n-g\n/opt/plug ins\n-m\n" + std::to_string(NRFDecodeMemoryLimit() >> 20) +
                        "\n" + movie + "\n"),
              std::string::npos)
        << args;

    // A header that asks for too much, a row stride narrower than the width, a zero size.
    for (const std::string bad :
         {"printf 'LVRF\\001\\000\\000\\000\\377\\377\\377\\377\\001\\000\\000\\000\\375\\377\\377\\377'",
          "printf 'LVRF\\001\\000\\000\\000\\004\\000\\000\\000\\002\\000\\000\\000\\010\\000\\000\\000'",
          "printf 'LVRF\\001\\000\\000\\000\\000\\000\\000\\000\\002\\000\\000\\000\\014\\000\\000\\000'",
          "printf 'LVRF\\002\\000\\000\\000\\004\\000\\000\\000\\002\\000\\000\\000\\014\\000\\000\\000'"}) {
        before = loggedSoFar();
        EXPECT_EQ(render(bad + " > \"$out\""), 9u) << bad;
        EXPECT_NE(loggedSoFar().substr(before.size()).find("render header invalid."), std::string::npos);
    }

    // 4 x 2 frame with one row and a half.
    before = loggedSoFar();
    EXPECT_EQ(render("{ " + header + "; printf '0123456789ab012345'; } > \"$out\""), 9u);
    EXPECT_NE(loggedSoFar()
                  .substr(before.size())
                  .find("NRFWinBitmap::LoadVideoFile() unable to read rendered data from file."),
              std::string::npos);

    // The whole frame: read back as written.
    ::setenv("LUMO_VIDEORENDER",
             fakeRenderer("{ " + header + "; printf 'ABCDEFGHIJKLabcdefghijkl'; } > \"$out\"").c_str(), 1);
    NRFBitmapBase bitmap;
    ASSERT_EQ(NRFRenderMovieFrame(movie, 0, bitmap), 0u);
    ASSERT_EQ(bitmap.Width(), 4u);
    ASSERT_EQ(bitmap.Height(), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bitmap.Row(1)), 12), "abcdefghijkl");

    // One that leaves a process behind holding its outputs: its frame is taken as soon as it ends.
    ::setenv(
        "LUMO_VIDEORENDER",
        fakeRenderer("{ " + header + "; printf 'ABCDEFGHIJKLabcdefghijkl'; } > \"$out\"; sleep 4 & echo done")
            .c_str(),
        1);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(NRFRenderMovieFrame(movie, 0, bitmap, std::chrono::seconds(10)), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));

    // One that takes too long is stopped, and what it wrote so far removed.
    ::setenv("LUMO_VIDEORENDER", fakeRenderer("printf half > \"$out.part\"; exec sleep 20").c_str(), 1);
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(NRFRenderMovieFrame(movie, 0, bitmap, std::chrono::milliseconds(300)), 13u);
    EXPECT_TRUE(bitmap.Empty());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_NE(loggedSoFar().find("the renderer took longer than 300 ms on '" + movie + "' and was stopped"),
              std::string::npos);

    // A renderer that writes nothing and fails; one that dies.
    EXPECT_EQ(render("echo cannot >&2; exit 3"), 13u);
    EXPECT_EQ(render("kill -9 $$"), 13u);
    EXPECT_NE(loggedSoFar().find("(exit status 137)"), std::string::npos);
}

} // namespace
