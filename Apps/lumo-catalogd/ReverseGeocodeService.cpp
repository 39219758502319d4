#include "ReverseGeocodeService.h"

#include "dyn_platform/CatalogProtocol.h"

#include <deque>
#include <mutex>

struct ReverseGeocodeService::Impl {
    Log log;
    std::mutex mutex;
    std::deque<std::uint16_t> pending;
};

ReverseGeocodeService::ReverseGeocodeService(Log log) : m(std::make_unique<Impl>()) {
    m->log = std::move(log);
}
ReverseGeocodeService::~ReverseGeocodeService() = default;

void ReverseGeocodeService::submit(std::uint16_t counter, bool wantsReply, CILA::VObject) {
    if (!wantsReply)
        return;
    std::lock_guard lock(m->mutex);
    m->pending.push_back(counter);
}

int ReverseGeocodeService::wakeFd() const {
    return -1;
}

void ReverseGeocodeService::deliver(const Send& send) {
    std::deque<std::uint16_t> done;
    {
        std::lock_guard lock(m->mutex);
        done.swap(m->pending);
    }
    for (auto counter : done)
        send(counter, DynProtocol::kError, CILA::VObject("revgeo_batch: not yet"));
}

bool ReverseGeocodeService::answer(const CILA::VObject&, CILA::VObject&, std::string& error,
                                   const std::atomic<bool>*) {
    error = "not yet";
    return false;
}
