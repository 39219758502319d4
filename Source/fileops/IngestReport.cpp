#include "fileops/IngestReport.h"

IngestReport::~IngestReport() {
    close();
}

bool IngestReport::open(const std::string&) {
    m_error = "not written yet";
    return false;
}

bool IngestReport::isOpen() const {
    return m_fd >= 0;
}

bool IngestReport::add(const Line&) {
    return false;
}

void IngestReport::close() {}
