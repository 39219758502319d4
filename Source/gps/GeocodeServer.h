#pragma once

// Where place names come from: the offline gazetteer, or an online reverse-geocoding service of the
// kind Nominatim offers (GET {server}/reverse?format=jsonv2&lat=..&lon=..&addressdetails=1, a JSON
// object whose "address" holds the names, or whose "error" says why there are none).
//
// Each source has a context text: "offline" for the gazetteer, the server's URL otherwise. The
// geocoding cache keys its answers with it, so answers of different sources never mix.

#include "gps/Gazetteer.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

inline constexpr char kOfflineGeocodeContext[] = "offline";

// The context text of the source a "server" option names (empty: the offline gazetteer).
inline std::string GeocodeContext(const std::string& server) {
    return server.empty() ? std::string(kOfflineGeocodeContext) : server;
}

struct GeocodeServerOptions {
    std::string server; // empty: the offline gazetteer
    std::chrono::milliseconds timeout{15000};
    // Online: the least time between two requests (the public Nominatim asks for one a second).
    std::chrono::milliseconds interval{1000};
    const std::atomic<bool>* cancel = nullptr; // set: a lookup under way gives up
};

class GeocodeServer {
public:
    virtual ~GeocodeServer() = default;
    virtual std::string context() const = 0;
    // The place of one position. A position with no place (at sea) is found with an empty place. False,
    // with `error`, when the source failed (no data, no connection, a bad answer).
    virtual bool lookup(double latitude, double longitude, GeoPlace& place, std::string& error) = 0;

    // The source the options name; null, with the reason, when it cannot be made (no gazetteer data,
    // a server URL that is not http or https).
    static std::unique_ptr<GeocodeServer> make(const GeocodeServerOptions& options,
                                               std::string* error = nullptr);
};

// Maps an online service's reverse answer to the five names: city from "city", "town", "village",
// "municipality" or "hamlet"; state from "state", "province", "region" or "state_district"; sublocation
// from "suburb", "city_district", "neighbourhood" or "quarter"; "country"; "country_code" in upper
// case. An answer with "error" and no address is a position with no place (true, empty place); a text
// that is not such an object is false with the reason.
bool ParseReverseGeocodeAnswer(const std::string& json, GeoPlace& place, std::string& error);
