#include "gps/GeocodeServer.h"

std::unique_ptr<GeocodeServer> GeocodeServer::make(const GeocodeServerOptions&, std::string* error) {
    if (error)
        *error = "not yet";
    return nullptr;
}

bool ParseReverseGeocodeAnswer(const std::string&, GeoPlace&, std::string& error) {
    error = "not yet";
    return false;
}
