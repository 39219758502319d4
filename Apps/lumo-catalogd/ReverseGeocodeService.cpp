#include "ReverseGeocodeService.h"

#include "dyn_platform/CatalogProtocol.h"
#include "gps/GeocodeServer.h"
#include "support/NamedThread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

using CILA::VObject;

namespace {

using Servers = std::map<std::string, std::unique_ptr<GeocodeServer>>;

bool isNumber(const VObject& v) {
    const auto t = v.dataType();
    return t == VObject::DT_INTEGER || t == VObject::DT_DOUBLE;
}

VObject placeHash(const GeoPlace& place) {
    VObject h = VObject::makeHash();
    h.store("lo", place.sublocation);
    h.store("ct", place.city);
    h.store("st", place.state);
    h.store("cy", place.country);
    h.store("cc", place.countryCode);
    return h;
}

VObject errorHash(const std::string& text) {
    VObject h = VObject::makeHash();
    h.store("error", text);
    return h;
}

// The answer of one request with the sources kept from earlier requests (an online source keeps its
// interval between requests of different batches).
bool answerWith(const VObject& args, VObject& list, std::string& error, const std::atomic<bool>* cancel,
                Servers& servers, std::string* context) {
    const VObject& positions = args.at(0);
    if (positions.dataType() != VObject::DT_VECTOR) {
        error = "revgeo_batch: the first argument is not a list of positions";
        return false;
    }
    if (positions.size() > ReverseGeocodeService::kMaxPositions) {
        error = "revgeo_batch: more than " + std::to_string(ReverseGeocodeService::kMaxPositions) +
                " positions in one request";
        return false;
    }
    std::string server;
    const VObject& options = args.at(1);
    if (!options.isNil() && options.dataType() != VObject::DT_HASH) {
        error = "revgeo_batch: the options are not a hash";
        return false;
    }
    if (const VObject* s = options.isNil() ? nullptr : options.fetch("server"); s && !s->isNil()) {
        if (s->dataType() != VObject::DT_STR) {
            error = "revgeo_batch: the option \"server\" is not a text";
            return false;
        }
        server = s->getstr();
    }
    if (context)
        *context = GeocodeContext(server);

    list = VObject::makeVector();
    auto& source = servers[server];
    std::string sourceError;
    if (!source) {
        GeocodeServerOptions o;
        o.server = server;
        o.cancel = cancel;
        source = GeocodeServer::make(o, &sourceError);
    }
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const VObject& p = positions.at(i);
        if (cancel && cancel->load()) {
            list.append(errorHash("cancelled"));
            continue;
        }
        if (!source) {
            list.append(errorHash(sourceError));
            continue;
        }
        if (p.dataType() != VObject::DT_VECTOR || p.size() != 2 || !isNumber(p.at(0)) || !isNumber(p.at(1))) {
            list.append(errorHash("not a position: " + p.toString()));
            continue;
        }
        GeoPlace place;
        std::string why;
        if (source->lookup(p.at(0).getdouble(), p.at(1).getdouble(), place, why))
            list.append(placeHash(place));
        else
            list.append(errorHash(why));
    }
    if (!source) // the data may arrive, or the server's URL be mended, before the next request
        servers.erase(server);
    return true;
}

} // namespace

struct ReverseGeocodeService::Impl {
    struct Job {
        std::uint16_t counter;
        bool wantsReply;
        VObject args;
    };
    struct Done {
        std::uint16_t counter;
        const char* name;
        VObject results;
    };

    Log log;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    std::deque<Done> done;
    std::atomic<bool> stop{false};
    int eventFd = -1;
    lumo::NamedThread worker;

    void run() {
        Servers servers;
        while (true) {
            Job job;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stop.load() || !jobs.empty(); });
                if (stop.load())
                    return;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            VObject list;
            std::string error, context;
            bool ok = false;
            try {
                ok = answerWith(job.args, list, error, &stop, servers, &context);
            } catch (const std::exception& e) {
                error = std::string("revgeo_batch: ") + e.what();
            }
            if (ok)
                log("ReverseGeocodeService: answered " + std::to_string(list.size()) + " positions (" +
                    context + ")");
            else
                log("ReverseGeocodeService: " + error);
            if (!job.wantsReply)
                continue;
            VObject results = VObject::makeVector();
            results.append(ok ? std::move(list) : VObject(error));
            {
                std::lock_guard lock(mutex);
                done.push_back(
                    {job.counter, ok ? DynProtocol::kRevGeoBatch : DynProtocol::kError, std::move(results)});
            }
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(eventFd, &one, sizeof one);
        }
    }
};

ReverseGeocodeService::ReverseGeocodeService(Log log) : m(std::make_unique<Impl>()) {
    m->log = std::move(log);
    m->eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m->eventFd < 0)
        throw std::system_error(errno, std::generic_category(), "ReverseGeocodeService: eventfd");
    // Lookups read a file or wait on the network; a small stack does.
    m->worker = lumo::NamedThread("revgeo_batch", 1u << 20, [this] { m->run(); });
}

ReverseGeocodeService::~ReverseGeocodeService() {
    {
        std::lock_guard lock(m->mutex);
        m->stop = true;
    }
    m->wake.notify_all();
    m->worker.join();
    ::close(m->eventFd);
}

void ReverseGeocodeService::submit(std::uint16_t counter, bool wantsReply, VObject args) {
    {
        std::lock_guard lock(m->mutex);
        m->jobs.push_back({counter, wantsReply, std::move(args)});
    }
    m->wake.notify_one();
}

int ReverseGeocodeService::wakeFd() const {
    return m->eventFd;
}

void ReverseGeocodeService::deliver(const Send& send) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(m->eventFd, &count, sizeof count); // resets it
    std::deque<Impl::Done> ready;
    {
        std::lock_guard lock(m->mutex);
        ready.swap(m->done);
    }
    for (auto& d : ready)
        send(d.counter, d.name, std::move(d.results));
}

bool ReverseGeocodeService::answer(const VObject& args, VObject& list, std::string& error,
                                   const std::atomic<bool>* cancel) {
    Servers servers;
    return answerWith(args, list, error, cancel, servers, nullptr);
}
