#include "fileops/IngestFilters.h"

const char* const IngestBadfilePatterns::kBadFilePattern = "";
const char* const IngestBadfilePatterns::kBadDirPattern = "";
bool IngestBadfilePatterns::IsBadFile(const std::string&) {
    return false;
}
bool IngestBadfilePatterns::IsBadDir(const std::string&) {
    return false;
}
bool IngestFileIsLocked(const std::string&) {
    return false;
}
bool IngestFiltersAccept(IngestLockFilter, IngestRawFilter, bool, bool) {
    return true;
}
bool IngestIsVideoFolderName(const std::string&) {
    return false;
}
IngestFileFilter::IngestFileFilter(IngestLockFilter locked, IngestRawFilter raw)
    : m_locked(locked), m_raw(raw) {}
IngestFileFilter::~IngestFileFilter() = default;
bool IngestFileFilter::accept(DirectoryEntry&, const std::string&, const std::string&) {
    return false;
}
DCIMFilter::DCIMFilter(IngestLockFilter locked, IngestRawFilter raw) : IngestFileFilter(locked, raw) {}
bool CameraCardFileFilter::accept(DirectoryEntry&, const std::string&, const std::string&) {
    return false;
}
bool IngestIsCameraCard(const std::string&) {
    return false;
}
IngestSourceScan ScanIngestSource(const std::string& root, const IngestScanOptions&) {
    IngestSourceScan scan;
    scan.root = root;
    return scan;
}
