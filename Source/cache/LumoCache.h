#pragma once

// The image cache: bitmaps of images at the sizes the windows ask for, as fast as they can be had. It
// answers from bitmaps held in memory, from the disk cache (CThumbfileCache), or by loading through the
// engine, and keeps the images' information records and EXIF blocks beside them. Work is done by a pool
// of 2 x n worker threads (n: the processors, 1 to 16) fed with prioritised work orders: the items on
// screen first, pre-cache orders for the items near them only while the queue is short.
//
// Bitmaps in the cache are upright, scaled to fit the size asked for with the picture's proportions and
// in sRGB. The colour-profile identity of an element says which profile its pixels are in; a bitmap
// transformed for a display is never written to disk.
//
// Every member is safe to call from any thread. Callbacks of work orders run on a worker thread and must
// not call back into pause() or the destructor.

#include "NRF/NRF.h"
#include "NRF/NRFBitmapBase.h"
#include "background/ImageCachePauser.h"
#include "cache/ThumbfileCache.h"
#include "support/NamedThread.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class CLumoApp;

// Front ends draw an error bitmap's text in this font; the core has no font renderer.
inline constexpr char kLumoCacheErrorFont[] = "Arial";
inline constexpr int kLumoCacheErrorFontSize = 12;
// A bitmap that fits inside the standard EXIF thumbnail is a thumbnail: never written to disk.
inline constexpr std::uint32_t kLumoCacheThumbnailWidth = 160, kLumoCacheThumbnailHeight = 120;
// Disk entries are JPEGs of this quality.
inline constexpr int kLumoCacheDiskQuality = 90;

// A picture the cache hands out.
struct LumoCachePicture {
    std::shared_ptr<const NRFBitmapBase> bitmap;
    int rotation = 0;        // the rotation code the pixels were turned upright by
    std::uint32_t flags = 0; // kNRFBitmap... of the loaders
    std::string iccProfile;  // which profile the pixels are in ("sRGB", or a display profile's name)
    NRFErr error = 0;        // an error bitmap: the engine's result
    std::string errorText;   // an error bitmap: its text, drawn in kLumoCacheErrorFont
    bool cancelled = false;  // the order was dropped (the cache stopped, or the caller cancelled)
    bool fromDisk = false;
    bool transient = false; // a fast first stage, replaced by a better one
    std::uint32_t width = 0, height = 0;
    // When the request asked for a quality: the picture as a JPEG of it. An exact disk entry answers
    // with its bytes alone (no bitmap).
    std::string jpeg;
    NRFErr jpegError = 0;

    bool isError() const { return (flags & kNRFBitmapError) != 0; }
};

class LumoCache : public ImageCachePauser {
public:
    // Hint bits of a request, logged as two hex digits.
    enum Hint : std::uint8_t {
        kHintPrecache = 0x01,   // a pre-cache request for an item near the screen
        kHintDraft = 0x02,      // a fast first stage: transient quality, a better stage follows
        kHintNoDiskRead = 0x04, // do not answer from the disk cache
        kHintRender = 0x08,     // a rendering of raw data is wanted
        kHintNoKeep = 0x10,     // a one-off request: the answer is not kept in memory
    };
    // Work-order types.
    enum OrderType : int { kOrderLoad = 1, kOrderTask = 2 };
    // Lower runs first.
    enum Priority : int { kPriorityOnScreen = 0, kPriorityPrecache = 1 };

    struct Request {
        std::string path;
        std::uint32_t size = 0; // the long side wanted
        std::uint8_t hints = 0;
        int doc = 0, cell = 0;
        int jpegQuality = 0;    // > 0: the answer carries the picture as a JPEG of this quality
        NRFImageInfoRef record; // the image's record when the caller has read it (used by one thread)
    };

    using Callback = std::function<void(const LumoCachePicture&)>;

    struct WorkOrder {
        std::uint64_t number = 0;
        int type = kOrderLoad;
        int priority = kPriorityOnScreen;
        Request request;
        std::function<void()> task; // kOrderTask
        std::vector<Callback> callbacks;
    };

    // The engine's load at a size: injected by tests. Answers the bitmap, upright.
    using Loader = std::function<NRFErr(NRFImageInfoRec& record, std::uint32_t size, std::uint8_t hints,
                                        NRFBitmapBase& out)>;

    struct Config {
        unsigned processors = 0; // 0: the machine's
        std::size_t prefsMaxBytes = 512u << 20;
        std::size_t reserveBytes = 0; // 0: room for one 2048-pixel load per worker
        Loader loader;                // empty: the engine
        bool useDisk = true;          // use CThumbfileCache::GetThumbfileCache() when there is one
        bool startWorkers = true;
    };

    explicit LumoCache(Config config);
    ~LumoCache() override; // stops and joins every worker; queued orders are answered as cancelled
    LumoCache(const LumoCache&) = delete;
    LumoCache& operator=(const LumoCache&) = delete;

    // The process's cache (start-up step "LumoCache::create_instance"; gone at "Destroying LumoCache").
    static bool create_instance(Config config);
    static LumoCache* instance();
    static void destroy_instance();

    static unsigned workerCountFor(unsigned processors);
    static unsigned machineProcessors();
    static std::size_t budgetFor(std::size_t prefsMax, std::size_t records, std::size_t onScreenBytes,
                                 std::size_t reserveBytes);
    unsigned workerCount() const { return static_cast<unsigned>(m_workers.size()); }

    // ---- work orders
    // Queues a load; `done` is called once with the answer (or cancelled). A request for an image that is
    // being loaded joins that load. 0 when the order was refused (a pre-cache request while the queue is
    // long); `done` is then never called.
    std::uint64_t submit_work_order(const Request& request, Callback done);
    // Queues a task of the pool's own (a one-off job for an item) at on-screen priority.
    std::uint64_t submit_task(const std::string& path, int doc, int cell, std::function<void()> task);
    // Queues the next stage of an order; false when one for the item and size exists already.
    bool resubmit_work_order(const Request& request, Callback done);
    // Drops the queued orders of a document (their callbacks are told "cancelled").
    void cancel_document(int doc);
    std::size_t queuedOrders() const;

    // ---- pictures
    // The closest picture held in memory or on disk (a disk entry only when the budget has room).
    std::optional<LumoCachePicture> get_closest(const std::string& path, std::uint32_t width,
                                                std::uint32_t height);
    // The disk entry of exactly the size asked for, as its JPEG bytes, when the request asks for the disk
    // entries' quality; nothing is decoded. A torn entry is purged.
    std::optional<LumoCachePicture> disk_exact(const Request& request);
    // The picture for the request, from the cache or loaded: never fails (an error bitmap instead).
    LumoCachePicture load_best_fastest(const Request& request);
    // The engine's load at `size`, retried smaller when memory runs out.
    NRFErr LoadFileScaled(NRFImageInfoRec& record, std::uint32_t size, bool is_precache, std::uint8_t hints,
                          NRFBitmapBase& out);
    // Turns the bitmap by the code, trimming the cache when memory runs out.
    bool Rotate_purge_retry(NRFBitmapBase& bitmap, int code, bool is_precache);
    // Whether a picture may be written to the disk cache: never a thumbnail (flag 32, or no bigger than
    // the standard thumbnail), an error bitmap, a passing stage or a bitmap made for a display.
    static bool may_store_to_disk(const LumoCachePicture& picture, bool transient);
    static LumoCachePicture make_error_bitmap(NRFErr error, std::uint32_t size);
    static const char* error_text(NRFErr error);
    // The image's EXIF block (cached as its "|EXIF|" entry); empty when it has none.
    std::string get_exif(const std::string& path);

    // ---- names and changes
    // The image got a new name: its in-memory and on-disk keys follow it.
    void rename(const std::string& oldPath, const std::string& newPath);
    // The file changed: everything held for it goes.
    void forget(const std::string& path);

    // ---- memory
    std::size_t bytes() const;
    std::size_t limit() const;
    std::size_t records() const;
    void set_on_screen_bytes(std::size_t bytes);
    void set_prefs_max(std::size_t bytes);
    // Recomputes the budget from the preference, the records kept and the bytes on screen, and purges
    // down to it.
    std::size_t adjust_image_cache_size();

    // ---- ImageCachePauser
    void pause(bool waitForWorkers) override;
    void resume() override;
    int pauseCount() const;

private:
    struct Elem {
        std::string key; // path|size
        std::uint32_t sizeClass = 0;
        std::shared_ptr<const NRFBitmapBase> bitmap;
        int rotation = 0;
        std::uint32_t flags = 0;
        std::string iccProfile;
        bool transient = false;
        std::size_t bytes = 0;
        std::uint64_t lastUse = 0;
    };
    struct Running {
        std::uint64_t number = 0;
        std::string path;
        std::uint32_t size = 0;
        int doc = 0, cell = 0;
        std::vector<Callback> waiters; // denied requests that share the load
    };

    void workerRun(int index);
    void do_work(WorkOrder& order);
    std::uint64_t queueLocked(WorkOrder order);
    void notifyWorkersLocked();

    std::optional<LumoCachePicture> closestPicture(const std::string& path, std::uint32_t want,
                                                   bool allowDisk);
    NRFImageInfoRef recordFor(const std::string& path, NRFErr& error);
    void addInMem(const std::string& path, const LumoCachePicture& picture, std::uint32_t sizeClass,
                  bool transient, const Request& request);
    void purgeToLocked(std::size_t target);
    void eraseElemLocked(std::map<std::string, std::vector<Elem>>::iterator image, std::size_t index);
    void storeToDisk(const std::string& path, const LumoCachePicture& picture, std::uint32_t size,
                     bool transient, std::string& jpeg, int quality);
    CThumbfileCache* disk() const;
    std::size_t adjustLocked();

    Config m_config;
    mutable std::mutex m_lock;
    std::condition_variable m_workAvailable;
    std::condition_variable m_workerIdle;
    std::list<WorkOrder> m_queue;
    std::vector<Running> m_running;
    std::uint64_t m_nextNumber = 1;
    bool m_stopping = false;
    int m_pauseCount = 0;
    int m_active = 0;

    std::map<std::string, std::vector<Elem>> m_images; // by path
    std::map<std::string, NRFImageInfoRef> m_records;
    std::map<std::string, std::string> m_exif; // "path|EXIF|"
    std::size_t m_bytes = 0;
    std::size_t m_limit = 0;
    std::size_t m_onScreenBytes = 0;
    std::uint64_t m_useClock = 0;

    std::vector<lumo::NamedThread> m_workers;
};

// The start-up step "LumoCache::create_instance" (the budget's maximum from the preferences when they
// are open) and the shutdown step "Destroying LumoCache". The cache uses the disk cache when start-up
// has opened one (addThumbfileCacheService), and works from memory alone otherwise.
void addImageCacheService(CLumoApp& app);
