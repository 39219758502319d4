#pragma once

// "revgeo_batch": the place names of a batch of positions.
//
// Request arguments: [[[latitude, longitude], ...], options], the options a hash whose "server" (a
// string, may be absent or empty) names an online service; without it the offline gazetteer answers.
// Reply: one argument, a list with one hash per position in the order asked: {"lo", "ct", "st", "cy",
// "cc"} (strings, all empty for a position with no place), or {"error": text} when that position could
// not be looked up. A request that is not of that shape is answered with "error" and the reason.
//
// The lookups run on a worker thread of their own so that the service's poll loop never waits: the
// loop hands requests over with submit(), watches wakeFd() and sends what is done with deliver().

#include "archive/VObject.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class ReverseGeocodeService {
public:
    static constexpr std::size_t kMaxPositions = 100000; // per request

    using Log = std::function<void(const std::string&)>;
    // Sends the reply of request `counter`: `name` is "revgeo_batch" or "error", `results` its arguments.
    using Send = std::function<void(std::uint16_t counter, const char* name, CILA::VObject results)>;

    explicit ReverseGeocodeService(Log log);
    // Stops the worker (a lookup under way gives up) and joins it; replies not yet sent are dropped.
    ~ReverseGeocodeService();
    ReverseGeocodeService(const ReverseGeocodeService&) = delete;
    ReverseGeocodeService& operator=(const ReverseGeocodeService&) = delete;

    // Queues a request; never waits. `wantsReply` false: it is answered with nothing.
    void submit(std::uint16_t counter, bool wantsReply, CILA::VObject args);
    // Readable while replies wait for deliver().
    int wakeFd() const;
    // Sends the replies that are done (on the loop's thread).
    void deliver(const Send& send);

    // The answer to one request's arguments, as the worker computes it: the list of per-position hashes,
    // or false with the reason when the arguments are not of the request's shape.
    static bool answer(const CILA::VObject& args, CILA::VObject& list, std::string& error,
                       const std::atomic<bool>* cancel = nullptr);

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};
