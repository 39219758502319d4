#include "gps/GPSLog.h"

std::string GPSTimeKey(std::int64_t) {
    return {};
}
std::int64_t GPSSecondsFromCivil(int, int, int, int, int, int) {
    return 0;
}
std::string GPSRecognizeLogFormat(std::string_view) {
    return "gpx";
}
std::vector<std::string> GPSBabelArguments(const std::string&, const std::string&) {
    return {};
}
std::string GPSBabelPath() {
    return {};
}
std::string GPSBabelMissingText() {
    return {};
}
long GPSLog::LoadFile(const std::string&, std::string& error) {
    error = kGPSLogParseErrorText;
    return -1;
}
std::size_t GPSLog::ParseNMEA(std::string_view) {
    return 0;
}
void GPSLog::add(const GPSCoordinate& point) {
    m_points[GPSTimeKey(point.time)] = point;
}
