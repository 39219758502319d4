#include "cache/LumoCache.h"

#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFICC.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPlugin.h"
#include "NRF/NRFResample.h"
#include "app/LumoApp.h"
#include "app/LumoLog.h"
#include "app/MessageBox.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "support/FileIO.h"
#include "support/ProcessInfo.h"

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <thread>
#include <utility>

namespace {

constexpr std::size_t kMiB = 1u << 20;
constexpr std::size_t kTrimStep = 10 * kMiB;      // 10,485,760 bytes
constexpr std::uint32_t kSmallestRetrySize = 769; // below it an out-of-memory load gives up
constexpr std::size_t kRecordBytes = 3304;        // what one kept information record costs
constexpr int kRotatePurgeAttempts = 3;
constexpr double kInfoStopwatchLimit = 0.5; // seconds for reading an image's information
constexpr double kLoadStopwatchLimit = 2.0; // seconds for one load through the engine

std::mutex g_instanceLock;
std::unique_ptr<LumoCache> g_instance;

#define CACHE_LOG(...) LUMO_CHANNEL_LOG(DebugFlag::LUMOCACHE_LOGGING, __VA_ARGS__)

// Times a piece of work and logs it when it takes longer than its limit.
class Stopwatch {
public:
    Stopwatch(double limit, const char* file, int line, std::string what)
        : m_limit(limit), m_file(file), m_line(line), m_what(std::move(what)),
          m_start(std::chrono::steady_clock::now()) {}
    ~Stopwatch() {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        if (elapsed > m_limit)
            CACHE_LOG("STOPWATCH: TIME %5.3f EXCEEDS LIMIT %5.3f BY %5.3f IN %s:%d: %s", elapsed, m_limit,
                      elapsed - m_limit, m_file, m_line, m_what.c_str());
    }
    Stopwatch(const Stopwatch&) = delete;
    Stopwatch& operator=(const Stopwatch&) = delete;

private:
    double m_limit;
    const char* m_file;
    int m_line;
    std::string m_what;
    std::chrono::steady_clock::time_point m_start;
};

// Raises the calling thread to the highest priority it may have for the scope (time-critical where the
// process is allowed to; an unprivileged process keeps its priority) and restores it afterwards.
class TimeCritical {
public:
    TimeCritical() : m_tid(static_cast<id_t>(lumo::currentThreadId())) {
        errno = 0;
        m_old = ::getpriority(PRIO_PROCESS, m_tid);
        m_raised = errno == 0 && ::setpriority(PRIO_PROCESS, m_tid, -20) == 0;
    }
    ~TimeCritical() {
        if (m_raised)
            ::setpriority(PRIO_PROCESS, m_tid, m_old);
    }
    TimeCritical(const TimeCritical&) = delete;
    TimeCritical& operator=(const TimeCritical&) = delete;

private:
    id_t m_tid;
    int m_old = 0;
    bool m_raised = false;
};

NRFErr engineLoad(NRFImageInfoRec& record, std::uint32_t size, std::uint8_t hints, NRFBitmapBase& out) {
    std::uint32_t flags = kNRFLoadAllowEmbedded;
    if (hints & LumoCache::kHintRender)
        flags |= kNRFLoadWantRendered | kNRFLoadRenderNow;
    NRFErr err = NRFLoadFilePreview(&record, &out, size, flags);
    if (err == kNRFErrNone && out.Empty())
        err = kNRFErrNoThumbnail;
    return err;
}

std::string elemKey(const std::string& path, std::uint32_t size) {
    return path + "|" + std::to_string(size);
}

std::uint32_t longSide(const NRFBitmapBase& bitmap) {
    return std::max(bitmap.Width(), bitmap.Height());
}

bool isThumbnailSize(std::uint32_t width, std::uint32_t height) {
    return std::max(width, height) <= kLumoCacheThumbnailWidth &&
           std::min(width, height) <= kLumoCacheThumbnailHeight;
}

CThumbfileCache::Kind kindFor(std::uint32_t size) {
    return size <= 512 ? CThumbfileCache::Kind::Thumb : CThumbfileCache::Kind::Preview;
}

// How far a picture of long side `have` is from the wanted one: one that covers the size beats one that
// does not, and among each the nearer wins.
std::uint64_t distance(std::uint32_t have, std::uint32_t want) {
    if (have >= want)
        return have - want;
    return (std::uint64_t{1} << 32) + (want - have);
}

// `loaded` scaled to fit `size`. An embedded image can be a pixel or two off the picture's proportions
// (a 504 x 376 thumbnail of a 4032 x 3024 photo); when it is within 2% of them the result takes the
// picture's proportions, so every path gives the same size for the same photo.
bool scaleToPicture(const NRFImageInfoRec* record, const NRFBitmapBase& loaded, std::uint32_t size,
                    NRFBitmapBase& out) {
    if (!record)
        return loaded.ScaleToFit(size, out);
    std::uint64_t w = record->m_width, h = record->m_height;
    if ((w > h) != (loaded.Width() > loaded.Height()))
        std::swap(w, h); // the loaded image is upright, the record's size is as stored
    const std::uint64_t picture = std::max(w, h);
    const bool close = NRFSimilarProportions(loaded.Width(), loaded.Height(), static_cast<std::uint32_t>(w),
                                             static_cast<std::uint32_t>(h));
    if (!close || longSide(loaded) <= size || picture <= size)
        return loaded.ScaleToFit(size, out);
    const auto side = [&](std::uint64_t v) {
        return static_cast<std::uint32_t>(std::max<std::uint64_t>(1, (v * size + picture / 2) / picture));
    };
    return NRFResample(loaded, side(w), side(h), out);
}

// The frame size a JPEG declares; false when no frame header is found in bounds.
bool jpegFrameSize(const std::string& jpeg, std::uint32_t& width, std::uint32_t& height) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(jpeg[i]); };
    std::size_t i = 2;
    if (jpeg.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8)
        return false;
    while (i + 4 <= jpeg.size()) {
        if (byte(i) != 0xFF)
            return false;
        const std::uint8_t marker = byte(i + 1);
        if (marker == 0xFF) {
            ++i;
            continue;
        }
        const std::size_t length = (std::size_t{byte(i + 2)} << 8) | byte(i + 3);
        if (length < 2)
            return false;
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (i + 9 > jpeg.size())
                return false;
            height = (std::uint32_t{byte(i + 5)} << 8) | byte(i + 6);
            width = (std::uint32_t{byte(i + 7)} << 8) | byte(i + 8);
            return width != 0 && height != 0;
        }
        i += 2 + length;
    }
    return false;
}

} // namespace

// ---- the pool

unsigned LumoCache::workerCountFor(unsigned processors) {
    return 2 * std::clamp(processors, 1u, 16u);
}

unsigned LumoCache::machineProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0)
        return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
    return std::max(1u, std::thread::hardware_concurrency());
}

std::size_t LumoCache::budgetFor(std::size_t prefsMax, std::size_t records, std::size_t onScreenBytes,
                                 std::size_t reserveBytes) {
    const std::size_t iip = records > SIZE_MAX / kRecordBytes ? SIZE_MAX : records * kRecordBytes;
    return std::max(prefsMax - std::min(prefsMax, iip), std::max(onScreenBytes + reserveBytes, 8 * kMiB));
}

LumoCache::LumoCache(Config config) : m_config(std::move(config)) {
    if (!m_config.loader)
        m_config.loader = engineLoad;
    const unsigned cpus = m_config.processors ? m_config.processors : machineProcessors();
    const unsigned workers = workerCountFor(cpus);
    if (m_config.reserveBytes == 0)
        m_config.reserveBytes = std::size_t{workers} * 1024 * 768 * 3;
    m_limit = budgetFor(m_config.prefsMaxBytes, 0, 0, m_config.reserveBytes);
    CACHE_LOG("cache: main thread startup");
    if (!m_config.startWorkers)
        return;
    CACHE_LOG("cache: spawning %d worker threads (%d cpus) ...", static_cast<int>(workers),
              static_cast<int>(cpus));
    try {
        for (unsigned i = 0; i < workers; ++i)
            m_workers.emplace_back("lumocache-" + std::to_string(i), lumo::kBackgroundThreadStackSize,
                                   [this, i] { workerRun(static_cast<int>(i)); });
    } catch (...) {
        {
            std::lock_guard lock(m_lock);
            m_stopping = true;
        }
        m_workAvailable.notify_all();
        m_workers.clear(); // joins those that started
        throw;
    }
}

LumoCache::~LumoCache() {
    std::list<WorkOrder> dropped;
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
        dropped.swap(m_queue);
    }
    m_workAvailable.notify_all();
    for (lumo::NamedThread& worker : m_workers)
        worker.join();
    LumoCachePicture cancelled;
    cancelled.cancelled = true;
    for (WorkOrder& order : dropped)
        for (Callback& callback : order.callbacks)
            if (callback)
                callback(cancelled);
}

bool LumoCache::create_instance(Config config) {
    std::lock_guard lock(g_instanceLock);
    try {
        auto cache = std::make_unique<LumoCache>(std::move(config));
        if (g_instance)
            setImageCachePauser(nullptr);
        g_instance = std::move(cache);
        setImageCachePauser(g_instance.get());
        return true;
    } catch (const std::exception& e) {
        LUMO_LOG("LumoCache::create_instance failed: %s", e.what());
        return false;
    }
}

LumoCache* LumoCache::instance() {
    std::lock_guard lock(g_instanceLock);
    return g_instance.get();
}

void LumoCache::destroy_instance() {
    std::unique_ptr<LumoCache> cache;
    {
        std::lock_guard lock(g_instanceLock);
        if (g_instance)
            setImageCachePauser(nullptr);
        cache = std::move(g_instance);
    }
    cache.reset(); // joins the workers outside the instance lock
}

void LumoCache::notifyWorkersLocked() {
    m_workAvailable.notify_all();
}

std::uint64_t LumoCache::queueLocked(WorkOrder order) {
    order.number = m_nextNumber++;
    const std::uint64_t number = order.number;
    // On-screen orders before pre-cache ones; first come first served within a priority.
    auto at = std::find_if(m_queue.begin(), m_queue.end(),
                           [&](const WorkOrder& queued) { return queued.priority > order.priority; });
    m_queue.insert(at, std::move(order));
    notifyWorkersLocked();
    return number;
}

std::uint64_t LumoCache::submit_work_order(const Request& request, Callback done) {
    std::lock_guard lock(m_lock);
    if (m_stopping)
        return 0;
    const bool precache = (request.hints & kHintPrecache) != 0;
    for (Running& running : m_running) {
        // Another size being made (a real pre-cache request among them) goes ahead as an order of its own;
        // the same picture shares the running load.
        if (running.path != request.path || running.size != request.size)
            continue;
        CACHE_LOG("cache: submit_work_order denied: %s already in-progress\n", request.path.c_str());
        running.waiters.push_back(std::move(done));
        return running.number;
    }
    for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
        // A pre-cache request for another size is an order of its own.
        if (it->type != kOrderLoad || it->request.path != request.path || it->request.doc != request.doc ||
            it->request.cell != request.cell || (precache && it->request.size != request.size))
            continue;
        CACHE_LOG("cache: pulled existing work order %s doc %d cell %d\n", request.path.c_str(), request.doc,
                  request.cell);
        WorkOrder order = std::move(*it);
        m_queue.erase(it);
        // The newer request says what is wanted now; an on-screen request makes the order an on-screen one.
        const std::uint8_t keptPrecache = order.request.hints & request.hints & kHintPrecache;
        order.request = request;
        order.request.hints = static_cast<std::uint8_t>((request.hints & ~kHintPrecache) | keptPrecache);
        order.priority = std::min(order.priority, precache ? int{kPriorityPrecache} : int{kPriorityOnScreen});
        order.callbacks.push_back(std::move(done));
        const std::uint64_t previous = order.number;
        m_queue.insert(
            std::find_if(m_queue.begin(), m_queue.end(),
                         [&](const WorkOrder& queued) { return queued.priority > order.priority; }),
            std::move(order));
        notifyWorkersLocked();
        return previous;
    }
    if (precache && m_queue.size() >= m_workers.size())
        return 0; // the queue is long: pre-caching waits for the screen's items
    WorkOrder order;
    order.type = kOrderLoad;
    order.priority = precache ? kPriorityPrecache : kPriorityOnScreen;
    order.request = request;
    order.callbacks.push_back(std::move(done));
    return queueLocked(std::move(order));
}

bool LumoCache::resubmit_work_order(const Request& request, Callback done) {
    std::lock_guard lock(m_lock);
    if (m_stopping)
        return false;
    const auto same = [&](const Request& other) {
        return other.path == request.path && other.doc == request.doc && other.cell == request.cell &&
               other.size == request.size && ((other.hints ^ request.hints) & kHintDraft) == 0;
    };
    bool exists =
        std::any_of(m_queue.begin(), m_queue.end(), [&](const WorkOrder& o) { return same(o.request); });
    if (exists) {
        CACHE_LOG("cache: NO-RESUBMIT already have work order %s doc %d cell %d\n", request.path.c_str(),
                  request.doc, request.cell);
        return false;
    }
    WorkOrder order;
    order.type = kOrderLoad;
    order.priority = (request.hints & kHintPrecache) ? kPriorityPrecache : kPriorityOnScreen;
    order.request = request;
    order.callbacks.push_back(std::move(done));
    queueLocked(std::move(order));
    return true;
}

std::uint64_t LumoCache::submit_task(const std::string& path, int doc, int cell, std::function<void()> task) {
    std::lock_guard lock(m_lock);
    if (m_stopping)
        return 0;
    WorkOrder order;
    order.type = kOrderTask;
    order.priority = kPriorityOnScreen;
    order.request.path = path;
    order.request.doc = doc;
    order.request.cell = cell;
    order.task = std::move(task);
    return queueLocked(std::move(order));
}

void LumoCache::cancel_document(int doc) {
    std::list<WorkOrder> dropped;
    {
        std::lock_guard lock(m_lock);
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            auto next = std::next(it);
            if (it->request.doc == doc)
                dropped.splice(dropped.end(), m_queue, it);
            it = next;
        }
    }
    LumoCachePicture cancelled;
    cancelled.cancelled = true;
    for (WorkOrder& order : dropped)
        for (Callback& callback : order.callbacks)
            if (callback)
                callback(cancelled);
}

std::size_t LumoCache::queuedOrders() const {
    std::lock_guard lock(m_lock);
    return m_queue.size();
}

void LumoCache::workerRun(int index) {
    for (;;) {
        try {
            WorkOrder order;
            {
                std::unique_lock lock(m_lock);
                m_workAvailable.wait(lock,
                                     [&] { return m_stopping || (m_pauseCount == 0 && !m_queue.empty()); });
                if (m_stopping)
                    return;
                order = std::move(m_queue.front());
                m_queue.pop_front();
                // The same picture is being made by another worker: this order shares its answer.
                if (order.type == kOrderLoad) {
                    auto same = std::find_if(m_running.begin(), m_running.end(), [&](const Running& r) {
                        return r.path == order.request.path && r.size == order.request.size;
                    });
                    if (same != m_running.end()) {
                        CACHE_LOG("cache: submit_work_order denied: %s already in-progress\n",
                                  order.request.path.c_str());
                        for (Callback& callback : order.callbacks)
                            same->waiters.push_back(std::move(callback));
                        continue;
                    }
                }
                ++m_active;
                m_running.push_back({order.number,
                                     order.request.path,
                                     order.request.size,
                                     order.request.doc,
                                     order.request.cell,
                                     {}});
            }
            try {
                do_work(order);
            } catch (const std::exception& e) {
                LUMO_LOG("LumoCacheWorker::run: worker %d exception in do_work: %s", index, e.what());
            } catch (...) {
                LUMO_LOG("LumoCacheWorker::run: worker %d exception in do_work: %s", index,
                         "unknown exception");
            }
            {
                std::lock_guard lock(m_lock);
                auto it = std::find_if(m_running.begin(), m_running.end(),
                                       [&](const Running& r) { return r.number == order.number; });
                if (it != m_running.end())
                    m_running.erase(it);
                --m_active;
            }
            m_workerIdle.notify_all();
            CACHE_LOG("cache: thread %d work-complete for %s doc %d cell %d\n", index,
                      order.request.path.c_str(), order.request.doc, order.request.cell);
        } catch (const std::exception& e) {
            LUMO_LOG("LumoCacheWorker::run: worker %d exception in loop: %s", index, e.what());
        } catch (...) {
            LUMO_LOG("LumoCacheWorker::run: worker %d exception in loop: %s", index, "unknown exception");
        }
    }
}

void LumoCache::do_work(WorkOrder& order) {
    if (order.type == kOrderTask) {
        if (order.task)
            order.task();
        return;
    }
    LumoCachePicture picture;
    std::exception_ptr failure;
    try {
        picture = load_best_fastest(order.request);
    } catch (...) {
        // Everyone waiting is answered whatever happened; the worker logs the exception afterwards.
        picture = make_error_bitmap(kNRFErrException, order.request.size);
        failure = std::current_exception();
    }
    for (Callback& callback : order.callbacks)
        if (callback)
            callback(picture);
    // Requests that arrived while the load ran share its answer.
    for (;;) {
        std::vector<Callback> waiters;
        {
            std::lock_guard lock(m_lock);
            auto it = std::find_if(m_running.begin(), m_running.end(),
                                   [&](const Running& r) { return r.number == order.number; });
            if (it == m_running.end() || it->waiters.empty()) {
                if (it != m_running.end())
                    m_running.erase(it); // no request can join a load that has answered
                break;
            }
            waiters.swap(it->waiters);
        }
        for (Callback& callback : waiters)
            if (callback)
                callback(picture);
    }
    if (failure)
        std::rethrow_exception(failure);
    if (order.request.hints & kHintDraft) {
        Request better = order.request;
        better.hints = static_cast<std::uint8_t>(better.hints & ~kHintDraft);
        resubmit_work_order(better, {});
    }
}

// ---- pause

void LumoCache::pause(bool waitForWorkers) {
    const TimeCritical raised;
    std::unique_lock lock(m_lock);
    if (++m_pauseCount == 1 && waitForWorkers)
        m_workerIdle.wait(lock, [&] { return m_active == 0 || m_stopping; });
}

void LumoCache::resume() {
    {
        std::lock_guard lock(m_lock);
        if (m_pauseCount == 0 || --m_pauseCount != 0)
            return;
    }
    m_workAvailable.notify_all();
}

int LumoCache::pauseCount() const {
    std::lock_guard lock(m_lock);
    return m_pauseCount;
}

// ---- memory

std::size_t LumoCache::bytes() const {
    std::lock_guard lock(m_lock);
    return m_bytes;
}

std::size_t LumoCache::limit() const {
    std::lock_guard lock(m_lock);
    return m_limit;
}

std::size_t LumoCache::records() const {
    std::lock_guard lock(m_lock);
    return m_records.size();
}

void LumoCache::set_on_screen_bytes(std::size_t bytes) {
    std::lock_guard lock(m_lock);
    m_onScreenBytes = bytes;
    adjustLocked();
}

void LumoCache::set_prefs_max(std::size_t bytes) {
    std::lock_guard lock(m_lock);
    m_config.prefsMaxBytes = bytes;
    adjustLocked();
}

std::size_t LumoCache::adjust_image_cache_size() {
    std::lock_guard lock(m_lock);
    return adjustLocked();
}

std::size_t LumoCache::adjustLocked() {
    const std::size_t records = m_records.size();
    const std::size_t limit =
        budgetFor(m_config.prefsMaxBytes, records, m_onScreenBytes, m_config.reserveBytes);
    if (limit != m_limit)
        CACHE_LOG("cache: adjust image_cache_size %zu (prefs_max %zu iip_bytes %zu on_screen_bytes %zu "
                  "reserve_bytes %zu)\n",
                  limit, m_config.prefsMaxBytes, records * kRecordBytes, m_onScreenBytes,
                  m_config.reserveBytes);
    m_limit = limit;
    purgeToLocked(m_limit);
    return m_limit;
}

void LumoCache::eraseElemLocked(std::map<std::string, std::vector<Elem>>::iterator image, std::size_t index) {
    const Elem& elem = image->second[index];
    CACHE_LOG("cache: ImageCacheElem::purged: %s size %d width %d height %d rot %d flags %d iccprof %s\n",
              elem.key.c_str(), static_cast<int>(elem.sizeClass), static_cast<int>(elem.bitmap->Width()),
              static_cast<int>(elem.bitmap->Height()), elem.rotation, static_cast<int>(elem.flags),
              elem.iccProfile.c_str());
    m_bytes -= elem.bytes;
    image->second.erase(image->second.begin() + static_cast<std::ptrdiff_t>(index));
    if (image->second.empty())
        m_images.erase(image);
}

void LumoCache::purgeToLocked(std::size_t target) {
    while (m_bytes > target && !m_images.empty()) {
        auto oldestImage = m_images.end();
        std::size_t oldestIndex = 0;
        std::uint64_t oldest = UINT64_MAX;
        for (auto it = m_images.begin(); it != m_images.end(); ++it)
            for (std::size_t i = 0; i < it->second.size(); ++i)
                if (it->second[i].lastUse < oldest) {
                    oldest = it->second[i].lastUse;
                    oldestImage = it;
                    oldestIndex = i;
                }
        eraseElemLocked(oldestImage, oldestIndex);
    }
}

void LumoCache::addInMem(const std::string& path, const LumoCachePicture& picture, std::uint32_t sizeClass,
                         bool transient, const Request& request) {
    if (!picture.bitmap || picture.isError())
        return;
    Elem elem;
    elem.key = elemKey(path, sizeClass);
    elem.sizeClass = sizeClass;
    elem.bitmap = picture.bitmap;
    elem.rotation = picture.rotation;
    elem.flags = picture.flags;
    elem.iccProfile = picture.iccProfile;
    elem.transient = transient;
    elem.bytes = picture.bitmap->Stride() * picture.bitmap->Height();
    std::lock_guard lock(m_lock);
    if (elem.bytes > m_limit)
        return; // it would push everything else out
    elem.lastUse = ++m_useClock;
    std::vector<Elem>& elems = m_images[path];
    for (std::size_t i = 0; i < elems.size(); ++i)
        if (elems[i].sizeClass == sizeClass) {
            m_bytes -= elems[i].bytes;
            elems.erase(elems.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    m_bytes += elem.bytes;
    CACHE_LOG("cache: added in-mem %s doc %d cell %d size %d\n", elem.key.c_str(), request.doc, request.cell,
              static_cast<int>(sizeClass));
    elems.push_back(std::move(elem));
    purgeToLocked(m_limit);
}

// ---- pictures

CThumbfileCache* LumoCache::disk() const {
    return m_config.useDisk ? CThumbfileCache::GetThumbfileCache() : nullptr;
}

std::optional<LumoCachePicture> LumoCache::get_closest(const std::string& path, std::uint32_t width,
                                                       std::uint32_t height) {
    return closestPicture(path, std::max(width, height), true);
}

std::optional<LumoCachePicture> LumoCache::closestPicture(const std::string& path, std::uint32_t want,
                                                          bool allowDisk) {
    std::optional<LumoCachePicture> inMem;
    std::uint64_t memDistance = UINT64_MAX;
    {
        std::lock_guard lock(m_lock);
        if (auto image = m_images.find(path); image != m_images.end()) {
            Elem* best = nullptr;
            for (Elem& elem : image->second)
                if (const std::uint64_t d = distance(longSide(*elem.bitmap), want); d < memDistance) {
                    memDistance = d;
                    best = &elem;
                }
            if (best) {
                best->lastUse = ++m_useClock;
                inMem.emplace();
                inMem->bitmap = best->bitmap;
                inMem->rotation = best->rotation;
                inMem->flags = best->flags;
                inMem->iccProfile = best->iccProfile;
                inMem->transient = best->transient;
                inMem->width = best->bitmap->Width();
                inMem->height = best->bitmap->Height();
            }
        }
    }
    if (memDistance == 0)
        return inMem;
    CThumbfileCache* diskCache = allowDisk ? disk() : nullptr;
    if (!diskCache)
        return inMem;
    const std::string base = CThumbfileCache::MakeKey(kindFor(want), path);
    if (base.empty())
        return inMem;
    std::optional<CThumbfileCache::Entry> closest;
    std::uint64_t diskDistance = UINT64_MAX;
    for (const CThumbfileCache::Entry& entry : diskCache->EntriesFor(base))
        if (const std::uint64_t d = distance(entry.variant.pixelSize, want); d < diskDistance) {
            diskDistance = d;
            closest = entry;
        }
    if (!closest || diskDistance >= memDistance)
        return inMem;
    const std::size_t estimate = std::size_t{closest->variant.pixelSize} * closest->variant.pixelSize * 3;
    {
        std::lock_guard lock(m_lock);
        if (m_bytes + estimate > m_limit) {
            CACHE_LOG("cache: get_closest: NO PRECACHE ROOM, have on-disk but not loading %s - mem_cache: "
                      "size=%zu, limit=%zu",
                      closest->key.c_str(), m_bytes, m_limit);
            return inMem;
        }
    }
    auto bitmap = std::make_shared<NRFBitmapBase>();
    if (!diskCache->Load(closest->key, *bitmap) || bitmap->Empty()) {
        CACHE_LOG("cache: get_closest: disk cache load failed for %s - purging disk cache key",
                  closest->key.c_str());
        diskCache->Purge(closest->key);
        return inMem;
    }
    diskCache->TouchByCacheKey(closest->key);
    LumoCachePicture picture;
    picture.bitmap = bitmap;
    picture.iccProfile = "sRGB";
    picture.fromDisk = true;
    picture.transient = !closest->variant.highQuality;
    picture.width = bitmap->Width();
    picture.height = bitmap->Height();
    Request request;
    request.path = path;
    addInMem(path, picture, closest->variant.pixelSize, picture.transient, request);
    return picture;
}

const char* LumoCache::error_text(NRFErr error) {
    switch (error) {
    case 3:
        return "Unsupported\nFormat\nVariant";
    case kNRFErrMemory:
        return "Out\nOf\nMemory";
    case kNRFErrOpen:
        return "File Error\nContact Sheet\nRescan needed";
    default:
        return "Unable to\nRender\nImage";
    }
}

LumoCachePicture LumoCache::make_error_bitmap(NRFErr error, std::uint32_t size) {
    LumoCachePicture picture;
    picture.error = error;
    picture.errorText = error_text(error);
    picture.flags = kNRFBitmapError;
    // A plain grey tile of the thumbnail's proportions; the front end draws the text on it.
    const std::uint32_t width = std::clamp<std::uint32_t>(size, 16, kLumoCacheThumbnailWidth);
    auto bitmap = std::make_shared<NRFBitmapBase>();
    if (bitmap->Allocate(width, std::max<std::uint32_t>(1, width * 3 / 4), 3)) {
        for (std::uint32_t y = 0; y < bitmap->Height(); ++y)
            std::fill_n(bitmap->Row(y), bitmap->Stride(), std::uint8_t{128});
        bitmap->flags = kNRFBitmapError;
        picture.bitmap = std::move(bitmap);
    }
    return picture;
}

NRFImageInfoRef LumoCache::recordFor(const std::string& path, NRFErr& error) {
    NRFImageInfoRef record;
    {
        std::lock_guard lock(m_lock);
        if (auto it = m_records.find(path); it != m_records.end())
            record = it->second->Clone();
    }
    error = kNRFErrNone;
    if (!record)
        error = NRFOpenImage(path.c_str(), 0, &record);
    if (error == kNRFErrNone) {
        const Stopwatch watch(kInfoStopwatchLimit, __FILE__, __LINE__, "NRFGetImageInfo " + path);
        error = NRFGetImageInfo(record.get());
    }
    if (error != kNRFErrNone) {
        if (record)
            NRFCloseImage(&record);
        return nullptr;
    }
    std::lock_guard lock(m_lock);
    const bool added = m_records.insert_or_assign(path, record->Clone()).second;
    if (added)
        adjustLocked();
    return record;
}

NRFErr LumoCache::LoadFileScaled(NRFImageInfoRec& record, std::uint32_t size, bool is_precache,
                                 std::uint8_t hints, NRFBitmapBase& out) {
    std::uint32_t tried = size;
    for (;;) {
        NRFErr err;
        {
            const Stopwatch watch(kLoadStopwatchLimit, __FILE__, __LINE__,
                                  "LoadFileScaled " + record.m_path + " size " + std::to_string(tried));
            err = m_config.loader(record, tried, hints, out);
        }
        if (err != kNRFErrMemory)
            return err;
        out.Clear();
        if (is_precache || tried < kSmallestRetrySize) {
            CACHE_LOG("cache: LoadFileScaled: OOM: failed to load any bmap for %s size %d (is_precache=%d) - "
                      "err=%d",
                      record.m_path.c_str(), static_cast<int>(tried), is_precache ? 1 : 0,
                      static_cast<int>(err));
            return err;
        }
        bool trimmed = false;
        {
            const TimeCritical raised;
            std::lock_guard lock(m_lock);
            if (m_bytes > kTrimStep) {
                const std::size_t target = m_bytes - kTrimStep;
                CACHE_LOG(
                    "cache: LoadFileScaled: OOM: no memory for size %ld, trimming cache by %ld to %ld...",
                    static_cast<long>(tried), static_cast<long>(kTrimStep), static_cast<long>(target));
                const std::size_t before = m_bytes;
                purgeToLocked(target); // the budget itself stays as it was
                trimmed = m_bytes < before;
            }
        }
        if (trimmed)
            continue;
        const auto next = static_cast<std::uint32_t>(tried * 0.75);
        CACHE_LOG("cache: LoadFileScaled: OOM: no memory for size %ld, retrying at %ld...",
                  static_cast<long>(tried), static_cast<long>(next));
        tried = next;
    }
}

bool LumoCache::Rotate_purge_retry(NRFBitmapBase& bitmap, int code, bool is_precache) {
    for (int attempt = 0;; ++attempt) {
        if (bitmap.Rotate(code))
            return true;
        bool trimmed = false;
        if (!is_precache && attempt < kRotatePurgeAttempts) {
            const TimeCritical raised;
            std::lock_guard lock(m_lock);
            if (m_bytes > kTrimStep) {
                const std::size_t before = m_bytes;
                purgeToLocked(m_bytes - kTrimStep);
                trimmed = m_bytes < before;
            }
        }
        if (!trimmed) {
            CACHE_LOG("cache: Rotate_purge_retry: OOM: failed rotating bitmap, purge attempts exhausted "
                      "(is_precache=%d)",
                      is_precache ? 1 : 0);
            return false;
        }
    }
}

bool LumoCache::may_store_to_disk(const LumoCachePicture& picture, bool transient) {
    // Thumbnails are quick to load again; error bitmaps and transient stages must not outlive this
    // run; a bitmap already made for a display would carry that display's colours.
    return picture.bitmap && !picture.bitmap->Empty() && !picture.isError() && !transient &&
           !(picture.flags & kNRFBitmapExifThumbnail) &&
           !isThumbnailSize(picture.bitmap->Width(), picture.bitmap->Height()) &&
           picture.iccProfile == "sRGB";
}

void LumoCache::storeToDisk(const std::string& path, const LumoCachePicture& picture, std::uint32_t size,
                            bool transient, std::string& jpeg, int quality) {
    CThumbfileCache* diskCache = disk();
    if (!diskCache || !may_store_to_disk(picture, transient))
        return;
    const NRFBitmapBase& bitmap = *picture.bitmap;
    const std::string base = CThumbfileCache::MakeKey(kindFor(size), path);
    if (base.empty())
        return;
    const std::string key = CThumbfileCache::VariantKey(base, {0, true, size});
    if (key.empty() || diskCache->Exists(key))
        return;
    std::string encoded;
    std::string* bytes = &encoded;
    if (quality == kLumoCacheDiskQuality && !jpeg.empty())
        bytes = &jpeg;
    else if (NRFCompressJPEG(bitmap, kLumoCacheDiskQuality, encoded) != kNRFErrNone)
        return;
    diskCache->StoreBytes(key, *bytes);
}

std::optional<LumoCachePicture> LumoCache::disk_exact(const Request& request) {
    const std::uint32_t size = std::max<std::uint32_t>(1, request.size);
    CThumbfileCache* diskCache = disk();
    if (!diskCache || request.jpegQuality != kLumoCacheDiskQuality || (request.hints & kHintNoDiskRead))
        return std::nullopt;
    const std::string base = CThumbfileCache::MakeKey(kindFor(size), request.path);
    const std::string key = base.empty() ? std::string() : CThumbfileCache::VariantKey(base, {0, true, size});
    LumoCachePicture picture;
    if (key.empty() || !diskCache->LoadBytes(key, picture.jpeg))
        return std::nullopt;
    if (jpegFrameSize(picture.jpeg, picture.width, picture.height) &&
        std::max(picture.width, picture.height) <= size) {
        CACHE_LOG("cache: served from disk %s size %d", key.c_str(), static_cast<int>(size));
        diskCache->TouchByCacheKey(key);
        picture.fromDisk = true;
        picture.iccProfile = "sRGB";
        return picture;
    }
    CACHE_LOG("cache: get_closest: disk cache load failed for %s - purging disk cache key", key.c_str());
    diskCache->Purge(key);
    return std::nullopt;
}

LumoCachePicture LumoCache::load_best_fastest(const Request& request) {
    const bool precache = (request.hints & kHintPrecache) != 0;
    const bool transient = (request.hints & kHintDraft) != 0;
    const bool diskRead = (request.hints & kHintNoDiskRead) == 0;
    const std::uint32_t size = std::max<std::uint32_t>(1, request.size);
    if (std::optional<LumoCachePicture> stored = disk_exact(request))
        return std::move(*stored);

    NRFErr err = kNRFErrNone;
    NRFImageInfoRef record = request.record;
    const bool ownRecord = !record;
    if (ownRecord)
        record = recordFor(request.path, err);
    if (!record)
        return make_error_bitmap(err, size);
    struct Closer {
        NRFImageInfoRef& record;
        bool own;
        ~Closer() {
            if (own)
                NRFCloseImage(&record);
        }
    } closer{record, ownRecord};
    const int rotation = record->m_orientation;

    LumoCachePicture picture;
    bool derived = false;
    // The closest cached picture will do when it covers the size, is not a passing stage (unless one is
    // asked for) and can be turned to the record's rotation.
    std::optional<LumoCachePicture> closest = closestPicture(request.path, size, diskRead);
    if (closest && closest->bitmap && !closest->isError() && longSide(*closest->bitmap) >= size &&
        (!closest->transient || transient)) {
        std::shared_ptr<const NRFBitmapBase> source = closest->bitmap;
        bool usable = closest->rotation == rotation;
        if (!usable && closest->rotation < 4 && rotation >= 0 && rotation < 4) {
            auto turned = std::make_shared<NRFBitmapBase>(*source);
            if (Rotate_purge_retry(*turned, (rotation - closest->rotation + 4) % 4, precache)) {
                source = std::move(turned);
                usable = true;
            }
        }
        if (usable) {
            auto scaled = std::make_shared<NRFBitmapBase>();
            if (longSide(*source) == size || scaleToPicture(record.get(), *source, size, *scaled)) {
                picture = *closest;
                picture.bitmap = longSide(*source) == size ? source : scaled;
                picture.rotation = rotation;
                picture.fromDisk = false;
                derived = true;
            }
        }
    }
    if (!derived) {
        NRFBitmapBase loaded;
        err = LoadFileScaled(*record, size, precache, request.hints, loaded);
        if (err != kNRFErrNone)
            return make_error_bitmap(err, size);
        auto scaled = std::make_shared<NRFBitmapBase>();
        if (!scaleToPicture(record.get(), loaded, size, *scaled))
            return make_error_bitmap(kNRFErrMemory, size);
        scaled->flags = loaded.flags;
        // A profile that cannot be read or used leaves the colours as they are: the picture still shows.
        NRFICCConvertRecordBitmapToSRGB(*record, *scaled);
        picture.bitmap = std::move(scaled);
        picture.flags = loaded.flags;
        picture.rotation = rotation;
        picture.iccProfile = "sRGB";
        picture.transient = transient;
    }
    picture.width = picture.bitmap->Width();
    picture.height = picture.bitmap->Height();
    if (!(request.hints & kHintNoKeep))
        addInMem(request.path, picture, size, picture.transient, request);
    if (request.jpegQuality > 0)
        picture.jpegError = NRFCompressJPEG(*picture.bitmap, request.jpegQuality, picture.jpeg);
    if (!derived)
        storeToDisk(request.path, picture, size, picture.transient, picture.jpeg, request.jpegQuality);
    return picture;
}

// ---- names and changes

void LumoCache::rename(const std::string& oldPath, const std::string& newPath) {
    {
        std::lock_guard lock(m_lock);
        if (auto image = m_images.find(oldPath); image != m_images.end()) {
            std::vector<Elem> elems = std::move(image->second);
            m_images.erase(image);
            for (Elem& elem : elems) {
                const std::string newKey = elemKey(newPath, elem.sizeClass);
                CACHE_LOG("cache: renamed in-mem %s to %s\n", elem.key.c_str(), newKey.c_str());
                elem.key = newKey;
            }
            std::vector<Elem>& target = m_images[newPath];
            for (Elem& elem : target)
                m_bytes -= elem.bytes; // whatever the new name held before is stale
            target = std::move(elems);
        }
        if (auto record = m_records.find(oldPath); record != m_records.end()) {
            NRFImageInfoRef moved = record->second;
            m_records.erase(record);
            moved->m_path = newPath;
            m_records.insert_or_assign(newPath, std::move(moved));
        }
        if (auto exif = m_exif.find(oldPath + "|EXIF|"); exif != m_exif.end()) {
            std::string block = std::move(exif->second);
            m_exif.erase(exif);
            m_exif.insert_or_assign(newPath + "|EXIF|", std::move(block));
        }
    }
    if (CThumbfileCache* diskCache = disk())
        diskCache->RenameImage(oldPath, newPath);
}

void LumoCache::forget(const std::string& path) {
    std::lock_guard lock(m_lock);
    if (auto image = m_images.find(path); image != m_images.end())
        while (m_images.count(path))
            eraseElemLocked(m_images.find(path), 0);
    m_exif.erase(path + "|EXIF|");
    if (m_records.erase(path))
        adjustLocked();
}

std::string LumoCache::get_exif(const std::string& path) {
    const std::string key = path + "|EXIF|";
    {
        std::lock_guard lock(m_lock);
        if (auto it = m_exif.find(key); it != m_exif.end())
            return it->second;
    }
    NRFErr err = kNRFErrNone;
    NRFImageInfoRef record = recordFor(path, err);
    std::string block;
    if (record && record->m_exifSegmentLength > 0 &&
        NRFReadEmbeddedBytes(path, record->m_exifSegmentPos, record->m_exifSegmentLength, block) !=
            kNRFErrNone)
        block.clear();
    if (record)
        NRFCloseImage(&record);
    std::lock_guard lock(m_lock);
    m_exif.insert_or_assign(key, block);
    return block;
}

// ---- start-up and shutdown

void addImageCacheService(CLumoApp& app) {
    app.startupSteps().add("LumoCache::create_instance", [] {
        LumoCache::Config config;
        std::int64_t maxMB = kPrefImageCacheMaxMBDefault;
        if (auto preferences = CPreferences::instance())
            maxMB = preferences->getInt(kPrefImageCacheMaxMB, kPrefImageCacheMaxMBDefault);
        config.prefsMaxBytes = static_cast<std::size_t>(std::max<std::int64_t>(16, maxMB)) * kMiB;
        if (LumoCache::create_instance(std::move(config)))
            return true;
        showMessageBox("Error: Could not create a core subsystem.  The application will now terminate.");
        return false;
    });
    app.shutdownSteps().add("Destroying LumoCache", [] {
        LumoCache::destroy_instance();
        return true;
    });
}
