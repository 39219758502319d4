#include "gps/Gazetteer.h"

#include <cmath>

struct Gazetteer::Impl {};

bool ParseGazetteerCities(std::string_view, std::vector<GazetteerCity>&, std::string* error, std::size_t) {
    if (error)
        *error = "not yet";
    return false;
}

Gazetteer::Gazetteer() = default;
Gazetteer::~Gazetteer() = default;

std::string Gazetteer::findDataFolder() {
    return {};
}

bool Gazetteer::convert(const std::string&, std::string&, std::string* error) {
    if (error)
        *error = "not yet";
    return false;
}

bool Gazetteer::open(const std::string&, const std::string&, std::string* error, bool*) {
    if (error)
        *error = "not yet";
    return false;
}

bool Gazetteer::openBytes(std::string, std::string* error) {
    if (error)
        *error = "not yet";
    return false;
}

std::shared_ptr<const Gazetteer> Gazetteer::shared(std::string* error) {
    if (error)
        *error = "not yet";
    return nullptr;
}

bool Gazetteer::isOpen() const {
    return false;
}
std::size_t Gazetteer::placeCount() const {
    return 0;
}
GeoPlace Gazetteer::lookup(double, double, double*) const {
    return {};
}

double GreatCircleKm(double, double, double, double) {
    return 0;
}
