#include "gps/GeocodeServer.h"

#include "app/LumoLog.h"

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

constexpr std::size_t kMaxAnswerBytes = 1u << 20;
constexpr char kUserAgent[] = "Lumograph/6.0 (reverse geocoding)";

class OfflineGeocodeServer : public GeocodeServer {
public:
    explicit OfflineGeocodeServer(std::shared_ptr<const Gazetteer> gazetteer)
        : m_gazetteer(std::move(gazetteer)) {}
    std::string context() const override { return kOfflineGeocodeContext; }
    bool lookup(double latitude, double longitude, GeoPlace& place, std::string& error) override {
        if (!std::isfinite(latitude) || !std::isfinite(longitude) || std::fabs(latitude) > 90 ||
            std::fabs(longitude) > 180) {
            error = "not a position";
            return false;
        }
        place = m_gazetteer->lookup(latitude, longitude);
        return true;
    }

private:
    std::shared_ptr<const Gazetteer> m_gazetteer;
};

struct Transfer {
    std::string body;
    bool tooLarge = false;
    const std::atomic<bool>* cancel = nullptr;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    if (t->body.size() + n > kMaxAnswerBytes) {
        t->tooLarge = true;
        return 0; // ends the transfer
    }
    t->body.append(data, n);
    return n;
}

int progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* t = static_cast<Transfer*>(user);
    return t->cancel && t->cancel->load() ? 1 : 0;
}

class OnlineGeocodeServer : public GeocodeServer {
public:
    explicit OnlineGeocodeServer(const GeocodeServerOptions& options) : m_options(options) {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    }
    std::string context() const override { return GeocodeContext(m_options.server); }

    bool lookup(double latitude, double longitude, GeoPlace& place, std::string& error) override {
        if (!std::isfinite(latitude) || !std::isfinite(longitude) || std::fabs(latitude) > 90 ||
            std::fabs(longitude) > 180) {
            error = "not a position";
            return false;
        }
        if (!waitForTurn()) {
            error = "cancelled";
            return false;
        }
        char query[128];
        std::snprintf(query, sizeof query, "format=jsonv2&lat=%.6f&lon=%.6f&zoom=18&addressdetails=1",
                      latitude, longitude);
        const std::string url =
            requestBase() + (requestBase().find('?') == std::string::npos ? "?" : "&") + query;

        Transfer transfer;
        transfer.cancel = m_options.cancel;
        CURL* curl = curl_easy_init();
        if (!curl) {
            error = "cannot start a transfer";
            return false;
        }
        char curlError[CURL_ERROR_SIZE] = {};
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 3L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(m_options.timeout.count()));
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_options.timeout.count()));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curlError);
        const CURLcode rc = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_cleanup(curl);
        m_last = std::chrono::steady_clock::now();

        if (transfer.tooLarge) {
            error = "the server's answer is larger than " + std::to_string(kMaxAnswerBytes) + " bytes";
            return false;
        }
        if (rc != CURLE_OK) {
            error = std::string("cannot reach ") + m_options.server + ": " +
                    (curlError[0] ? curlError : curl_easy_strerror(rc));
            return false;
        }
        if (status != 200) {
            error = m_options.server + " answered with HTTP status " + std::to_string(status);
            return false;
        }
        return ParseReverseGeocodeAnswer(transfer.body, place, error);
    }

private:
    // The reverse endpoint: the server's URL as given when it names one, else "/reverse" below it.
    std::string requestBase() const {
        std::string base = m_options.server;
        const std::string path = base.substr(0, base.find('?'));
        if (path.find("/reverse") != std::string::npos)
            return base;
        while (!base.empty() && base.back() == '/')
            base.pop_back();
        return base + "/reverse";
    }

    // Requests keep the options' interval between them; false when cancelled while waiting.
    bool waitForTurn() {
        if (m_last.time_since_epoch().count() == 0)
            return true;
        const auto due = m_last + m_options.interval;
        while (std::chrono::steady_clock::now() < due) {
            if (m_options.cancel && m_options.cancel->load())
                return false;
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                due - std::chrono::steady_clock::now(), std::chrono::milliseconds(50)));
        }
        return !(m_options.cancel && m_options.cancel->load());
    }

    GeocodeServerOptions m_options;
    std::chrono::steady_clock::time_point m_last{};
};

std::string firstOf(const nlohmann::json& address, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        const auto it = address.find(key);
        if (it != address.end() && it->is_string() && !it->get_ref<const std::string&>().empty())
            return it->get<std::string>();
    }
    return {};
}

} // namespace

std::unique_ptr<GeocodeServer> GeocodeServer::make(const GeocodeServerOptions& options, std::string* error) {
    if (options.server.empty()) {
        auto gazetteer = Gazetteer::shared(error);
        if (!gazetteer)
            return nullptr;
        return std::make_unique<OfflineGeocodeServer>(std::move(gazetteer));
    }
    std::string scheme = options.server.substr(0, options.server.find("://"));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (options.server.find("://") == std::string::npos || (scheme != "http" && scheme != "https")) {
        if (error)
            *error = "not an http or https URL: " + options.server;
        return nullptr;
    }
    return std::make_unique<OnlineGeocodeServer>(options);
}

bool ParseReverseGeocodeAnswer(const std::string& json, GeoPlace& place, std::string& error) {
    place = GeoPlace();
    const nlohmann::json answer = nlohmann::json::parse(json, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) {
        error = "the server's answer is not a JSON object";
        return false;
    }
    const auto address = answer.find("address");
    if (address == answer.end() || !address->is_object()) {
        if (answer.contains("error")) // "Unable to geocode": nothing there, at sea for one
            return true;
        error = "the server's answer holds no address";
        return false;
    }
    place.sublocation = firstOf(*address, {"suburb", "city_district", "neighbourhood", "quarter"});
    place.city = firstOf(*address, {"city", "town", "village", "municipality", "hamlet"});
    place.state = firstOf(*address, {"state", "province", "region", "state_district"});
    place.country = firstOf(*address, {"country"});
    place.countryCode = firstOf(*address, {"country_code"});
    std::transform(place.countryCode.begin(), place.countryCode.end(), place.countryCode.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return true;
}
