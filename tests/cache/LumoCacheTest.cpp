#include "cache/LumoCache.h"
#include "cache/CachedImage.h"

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A gate the test opens; loads and tasks wait at it.
class Gate {
public:
    void open() {
        {
            std::lock_guard lock(m_lock);
            m_open = true;
        }
        m_changed.notify_all();
    }
    void wait() {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [&] { return m_open; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_open = false;
};

// A loader that makes a grey bitmap of the size asked for (as wide as high x 4/3) and counts its calls.
struct FakeLoader {
    std::atomic<int> calls{0};
    std::mutex lock;
    std::vector<std::uint32_t> sizes;
    std::function<NRFErr(std::uint32_t)> result = [](std::uint32_t) { return kNRFErrNone; };
    Gate* gate = nullptr;

    LumoCache::Loader loader() {
        return [this](NRFImageInfoRec&, std::uint32_t size, std::uint8_t, NRFBitmapBase& out) {
            ++calls;
            {
                std::lock_guard guard(lock);
                sizes.push_back(size);
            }
            if (gate)
                gate->wait();
            if (const NRFErr err = result(size); err != kNRFErrNone)
                return err;
            return out.Allocate(size, size * 3 / 4, 3) ? kNRFErrNone : NRFErr{kNRFErrMemory};
        };
    }
};

LumoCache::Config configWith(FakeLoader& fake, unsigned processors = 2, bool workers = true) {
    LumoCache::Config config;
    config.processors = processors;
    config.loader = fake.loader();
    config.startWorkers = workers;
    return config;
}

LumoCache::Request requestFor(const std::string& path, std::uint32_t size, int cell = 0) {
    LumoCache::Request request;
    request.path = path;
    request.size = size;
    request.cell = cell;
    request.record = std::make_shared<NRFImageInfoRec>(path, 0);
    return request;
}

TEST(LumoCacheTest, PoolHasTwoWorkersPerProcessorUpToSixteen) {
    const struct {
        unsigned processors, workers;
    } cases[] = {{0, 2}, {1, 2}, {4, 8}, {16, 32}, {32, 32}, {128, 32}};
    for (const auto& c : cases)
        EXPECT_EQ(LumoCache::workerCountFor(c.processors), c.workers) << c.processors;
    FakeLoader fake;
    for (unsigned processors : {4u, 32u}) {
        LumoCache cache(configWith(fake, processors));
        EXPECT_EQ(cache.workerCount(), processors == 4 ? 8u : 32u);
    }
}

TEST(LumoCacheTest, BudgetLeavesRoomForRecordsAndScreen) {
    const struct {
        std::size_t prefsMax, records, onScreen, reserve, budget;
    } cases[] = {
        {100'000'000, 10'000, 2'000'000, 1'000'000, 100'000'000 - 33'040'000},
        {100'000'000, 0, 0, 0, 100'000'000},
        {10'000'000, 10'000, 1'000'000, 1'000'000, 8u << 20},    // never below 8 MiB
        {10'000'000, 10'000, 20'000'000, 1'000'000, 21'000'000}, // nor below what is on screen
    };
    for (const auto& c : cases)
        EXPECT_EQ(LumoCache::budgetFor(c.prefsMax, c.records, c.onScreen, c.reserve), c.budget);
}

TEST(LumoCacheTest, OutOfMemoryRetriesTrimThenShrinkDownTo769) {
    const struct {
        std::size_t held; // bytes of 2000-pixel pictures in the cache first
        bool precache;
        std::vector<std::uint32_t> sizes;
    } cases[] = {
        {0, false, {2000, 1500, 1125, 843, 632}},
        {0, true, {2000}},
        // 27 MB held: one trim (to 10 MiB less: two pictures go, 9 MB stay), then the 0.75 steps.
        {3, false, {2000, 2000, 1500, 1125, 843, 632}},
    };
    for (const auto& c : cases) {
        FakeLoader fake;
        LumoCache cache(configWith(fake, 2, false));
        for (std::size_t i = 0; i < c.held; ++i)
            ASSERT_FALSE(cache.load_best_fastest(requestFor("/held" + std::to_string(i), 2000)).isError());
        ASSERT_EQ(cache.bytes(), c.held * 2000 * 1500 * 3);
        fake.sizes.clear();
        fake.result = [](std::uint32_t) { return NRFErr{kNRFErrMemory}; };
        NRFImageInfoRec record("/big.jpg", 0);
        NRFBitmapBase out;
        EXPECT_EQ(cache.LoadFileScaled(record, 2000, c.precache, 0, out), kNRFErrMemory);
        EXPECT_EQ(fake.sizes, c.sizes);
    }
}

TEST(LumoCacheTest, ErrorBitmapsCarryTheirText) {
    const struct {
        NRFErr error;
        const char* text;
    } cases[] = {{3, "Unsupported\nFormat\nVariant"},
                 {7, "Out\nOf\nMemory"},
                 {5, "File Error\nContact Sheet\nRescan needed"},
                 {9, "Unable to\nRender\nImage"},
                 {13, "Unable to\nRender\nImage"}};
    for (const auto& c : cases) {
        const LumoCachePicture picture = LumoCache::make_error_bitmap(c.error, 256);
        EXPECT_EQ(picture.errorText, c.text);
        EXPECT_TRUE(picture.isError());
        ASSERT_TRUE(picture.bitmap);
        EXPECT_EQ(picture.bitmap->flags & kNRFBitmapError, kNRFBitmapError);
    }
    // A failing load answers with one, which is never kept.
    FakeLoader fake;
    fake.result = [](std::uint32_t) { return NRFErr{9}; };
    LumoCache cache(configWith(fake, 1, false));
    const LumoCachePicture picture = cache.load_best_fastest(requestFor("/bad.jpg", 300));
    EXPECT_TRUE(picture.isError());
    EXPECT_EQ(picture.error, 9u);
    EXPECT_EQ(cache.bytes(), 0u);
}

TEST(LumoCacheTest, ThumbnailsErrorsAndPassingStagesNeverGoToDisk) {
    const auto picture = [](std::uint32_t w, std::uint32_t h, std::uint32_t flags, const char* icc = "sRGB") {
        LumoCachePicture p;
        auto bitmap = std::make_shared<NRFBitmapBase>();
        EXPECT_TRUE(bitmap->Allocate(w, h, 3));
        p.bitmap = bitmap;
        p.flags = flags;
        p.iccProfile = icc;
        return p;
    };
    const struct {
        LumoCachePicture p;
        bool transient, stored;
    } cases[] = {
        {picture(400, 300, 0), false, true},
        {picture(400, 300, kNRFBitmapSubstitute), false, true},
        {picture(160, 120, 0), false, false}, // thumbnail size
        {picture(120, 160, 0), false, false},
        {picture(400, 300, kNRFBitmapExifThumbnail), false, false},
        {picture(400, 300, kNRFBitmapError), false, false},
        {picture(400, 300, 0), true, false},
        {picture(400, 300, 0, "Display"), false, false}, // colour-managed for a screen
    };
    for (const auto& c : cases)
        EXPECT_EQ(LumoCache::may_store_to_disk(c.p, c.transient), c.stored)
            << c.p.bitmap->Width() << "x" << c.p.bitmap->Height() << " flags " << c.p.flags;
}

TEST(LumoCacheTest, MemoryAnswersRenamesFollowAndChangedFilesAreForgotten) {
    FakeLoader fake;
    LumoCache cache(configWith(fake, 1, false));
    EXPECT_FALSE(cache.load_best_fastest(requestFor("/a.jpg", 400)).isError());
    EXPECT_FALSE(cache.load_best_fastest(requestFor("/a.jpg", 400)).isError());
    // A smaller size is made from the one held.
    const LumoCachePicture small = cache.load_best_fastest(requestFor("/a.jpg", 200));
    EXPECT_EQ(small.width, 200u);
    EXPECT_EQ(fake.calls, 1);

    cache.rename("/a.jpg", "/b.jpg");
    EXPECT_FALSE(cache.get_closest("/a.jpg", 400, 300));
    const auto moved = cache.get_closest("/b.jpg", 400, 300);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->width, 400u);
    const std::size_t held = cache.bytes();
    EXPECT_GT(held, 0u);

    // A handle follows the file to its name.
    ASSERT_TRUE(LumoCache::create_instance(configWith(fake, 1, false)));
    LumoCache& shared = *LumoCache::instance();
    EXPECT_EQ(imageCachePauser(), &shared); // background operations pause this one
    shared.load_best_fastest(requestFor("/c.jpg", 400));
    CachedImage handle("/c.jpg");
    EXPECT_TRUE(handle.SetFilename("/d.jpg"));
    EXPECT_EQ(handle.Filename(), "/d.jpg");
    EXPECT_TRUE(handle.GetClosest(400, 300));
    EXPECT_FALSE(shared.get_closest("/c.jpg", 400, 300));
    LumoCache::destroy_instance();
    EXPECT_EQ(imageCachePauser(), nullptr);

    cache.forget("/b.jpg");
    EXPECT_FALSE(cache.get_closest("/b.jpg", 400, 300));
    EXPECT_EQ(cache.bytes(), 0u);
}

TEST(LumoCacheTest, ConcurrentRequestsForOneImageMakeOneLoad) {
    FakeLoader fake;
    Gate gate;
    fake.gate = &gate;
    constexpr int kRequests = 12;
    std::vector<std::promise<LumoCachePicture>> answers(kRequests);
    LumoCache cache(configWith(fake, 4));
    std::vector<std::thread> askers;
    for (int i = 0; i < kRequests; ++i)
        askers.emplace_back([&, i] {
            // Every cell of every document shows the same photo at the same size.
            EXPECT_NE(cache.submit_work_order(requestFor("/same.jpg", 300, i),
                                              [&, i](const LumoCachePicture& p) { answers[i].set_value(p); }),
                      0u);
        });
    for (std::thread& asker : askers)
        asker.join();
    std::this_thread::sleep_for(50ms);
    gate.open();
    for (auto& answer : answers) {
        auto future = answer.get_future();
        ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
        const LumoCachePicture picture = future.get();
        EXPECT_FALSE(picture.cancelled);
        EXPECT_EQ(picture.width, 300u);
    }
    EXPECT_EQ(fake.calls, 1);
}

TEST(LumoCacheTest, QueuedRequestsArePulledAndPrecacheWaitsForAShortQueue) {
    FakeLoader fake;
    LumoCache cache(configWith(fake, 1)); // two workers
    cache.pause(false);
    std::atomic<int> answered{0};
    const auto count = [&](const LumoCachePicture& p) { answered += p.cancelled ? 0 : 1; };
    auto precache = [&](const std::string& path) {
        auto request = requestFor(path, 300, 9);
        request.hints = LumoCache::kHintPrecache;
        return cache.submit_work_order(request, count);
    };
    EXPECT_NE(precache("/near1.jpg"), 0u);
    EXPECT_NE(precache("/near2.jpg"), 0u);
    EXPECT_EQ(precache("/near3.jpg"), 0u); // as many queued as there are workers: the rest waits
    // The same item asked for again reuses its queued order, at the newer request's priority.
    const std::uint64_t first = cache.submit_work_order(requestFor("/shown.jpg", 300, 1), count);
    EXPECT_EQ(cache.submit_work_order(requestFor("/shown.jpg", 400, 1), count), first);
    EXPECT_EQ(cache.queuedOrders(), 3u);
    // A next stage is never queued twice.
    EXPECT_FALSE(cache.resubmit_work_order(requestFor("/shown.jpg", 400, 1), {}));
    cache.resume();
    for (int i = 0; i < 500 && answered < 4; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(answered, 4);
    EXPECT_EQ(fake.calls, 3);
}

TEST(LumoCacheTest, OnlyTheFirstPauseWaitsAndOnlyTheLastResumeReleases) {
    FakeLoader fake;
    LumoCache cache(configWith(fake, 1));
    Gate running, release;
    std::atomic<bool> busy{false};
    cache.submit_task("/busy", 0, 0, [&] {
        busy = true;
        running.open();
        release.wait();
        busy = false;
    });
    running.wait();
    // A pause that does not wait returns at once; a nested one never waits, even when asked to.
    cache.pause(false);
    cache.pause(true);
    EXPECT_TRUE(busy);
    EXPECT_EQ(cache.pauseCount(), 2);
    std::atomic<bool> ran{false};
    cache.submit_task("/later", 0, 1, [&] { ran = true; });
    release.open();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(ran); // paused
    cache.resume();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(ran); // still paused once
    cache.resume();
    for (int i = 0; i < 200 && !ran; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(ran);

    // The first pause asked to wait does so until running work ends.
    Gate started, finish;
    cache.submit_task("/slow", 0, 2, [&] {
        started.open();
        finish.wait();
    });
    started.wait();
    auto paused = std::async(std::launch::async, [&] { cache.pause(true); });
    EXPECT_EQ(paused.wait_for(100ms), std::future_status::timeout);
    finish.open();
    EXPECT_EQ(paused.wait_for(10s), std::future_status::ready);
    cache.resume();
    EXPECT_EQ(cache.pauseCount(), 0);
}

TEST(LumoCacheTest, WorkersSurviveExceptionsAndStopCleanly) {
    FakeLoader fake;
    auto cache = std::make_unique<LumoCache>(configWith(fake, 1)); // two workers
    for (int i = 0; i < 6; ++i)
        cache->submit_task("/throws", 0, i, [i] {
            if (i % 2)
                throw std::runtime_error("broken file");
            throw 42;
        });
    // Both workers are still there: two tasks that need each other finish.
    std::mutex lock;
    std::condition_variable arrived;
    int count = 0;
    std::atomic<int> met{0};
    for (int i = 0; i < 2; ++i)
        cache->submit_task("/pair", 1, i, [&] {
            std::unique_lock guard(lock);
            ++count;
            arrived.notify_all();
            if (arrived.wait_for(guard, 10s, [&] { return count == 2; }))
                ++met;
        });
    for (int i = 0; i < 500 && met < 2; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(met, 2);
    // Orders still queued at the stop are answered as cancelled.
    Gate gate;
    cache->submit_task("/block", 2, 0, [&] { gate.wait(); });
    cache->submit_task("/block", 2, 1, [&] { gate.wait(); });
    std::promise<bool> cancelled;
    cache->submit_work_order(requestFor("/queued.jpg", 300),
                             [&](const LumoCachePicture& p) { cancelled.set_value(p.cancelled); });
    std::thread stopper([&] { cache.reset(); });
    std::this_thread::sleep_for(50ms);
    gate.open();
    stopper.join();
    EXPECT_TRUE(cancelled.get_future().get());
}

TEST(LumoCacheTest, DiskEntriesFollowRenamesAndTornOnesArePurged) {
    lumo::test::TempDir dir;
    std::string error;
    ASSERT_TRUE(CThumbfileCache::OpenThumbfileCache(dir.file("cache"), error)) << error;
    CThumbfileCache& disk = *CThumbfileCache::GetThumbfileCache();
    const std::string a = dir.file("a.jpg"), b = dir.file("b.jpg");
    lumo::test::writeWholeFile(a, "a photo");
    FakeLoader fake;
    {
        LumoCache cache(configWith(fake, 1, false));
        auto request = requestFor(a, 400);
        request.jpegQuality = kLumoCacheDiskQuality;
        const std::string jpeg = cache.load_best_fastest(request).jpeg;
        EXPECT_EQ(disk.Count().entries, 1u);
        const auto stored = cache.disk_exact(request);
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->jpeg, jpeg); // the very bytes, nothing decoded
        EXPECT_EQ(stored->width, 400u);
        // A thumbnail-size picture never goes to disk.
        cache.load_best_fastest(requestFor(a, 160));
        EXPECT_EQ(disk.Count().entries, 1u);

        std::filesystem::rename(a, b);
        cache.rename(a, b);
        EXPECT_TRUE(cache.get_closest(b, 400, 300));
        EXPECT_FALSE(cache.get_closest(a, 400, 300));
        EXPECT_TRUE(disk.EntriesFor(CThumbfileCache::MakeKey(CThumbfileCache::Kind::Thumb, a)).empty());
        ASSERT_EQ(disk.EntriesFor(CThumbfileCache::MakeKey(CThumbfileCache::Kind::Thumb, b)).size(), 1u);
    }
    // A torn entry is purged when the next process finds it.
    const std::string key = disk.EntriesFor(CThumbfileCache::MakeKey(CThumbfileCache::Kind::Thumb, b))[0].key;
    lumo::test::writeWholeFile(dir.file("cache") + "/" + key, "\xFF\xD8 torn");
    {
        LumoCache cache(configWith(fake, 1, false));
        EXPECT_FALSE(cache.get_closest(b, 400, 300));
        EXPECT_FALSE(disk.Exists(key));
        // And the picture is made again.
        auto request = requestFor(b, 400);
        request.jpegQuality = kLumoCacheDiskQuality;
        EXPECT_FALSE(cache.disk_exact(request));
        EXPECT_EQ(cache.load_best_fastest(request).width, 400u);
        EXPECT_TRUE(disk.Exists(key));
    }
    CThumbfileCache::CloseThumbfileCache();
}

TEST(LumoCacheTest, CorpusFilesGiveAPictureOrAnErrorBitmapFromWorkersAtOnce) {
    ASSERT_EQ(NRFInit(""), kNRFErrNone);
    LumoCache::Config config;
    config.processors = 2;
    const std::vector<std::string> files = lumo::test::corpusFiles(
        {".jpg", ".tif", ".png", ".gif", ".psd", ".heic", ".dng", ".nef", ".cr2", ".crw", ".bmp", ".eps"});
    std::vector<std::promise<LumoCachePicture>> answers(files.size());
    LumoCache cache(config); // stops before the answers go
    for (std::size_t i = 0; i < files.size(); ++i) {
        LumoCache::Request request;
        request.path = files[i];
        request.size = 256;
        request.cell = static_cast<int>(i);
        ASSERT_NE(
            cache.submit_work_order(request, [&, i](const LumoCachePicture& p) { answers[i].set_value(p); }),
            0u);
    }
    int pictures = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        auto future = answers[i].get_future();
        ASSERT_EQ(future.wait_for(120s), std::future_status::ready) << files[i];
        const LumoCachePicture picture = future.get();
        ASSERT_TRUE(picture.bitmap) << files[i];
        if (!picture.isError()) {
            ++pictures;
            EXPECT_LE(std::max(picture.width, picture.height), 256u) << files[i];
        }
    }
    EXPECT_GT(pictures, 0);
}

} // namespace
