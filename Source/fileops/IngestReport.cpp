#include "fileops/IngestReport.h"

#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "support/TextUtils.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

int writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return 0;
}

} // namespace

IngestReport::~IngestReport() {
    close();
}

bool IngestReport::open(const std::string& folder) {
    std::lock_guard lock(m_mutex);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_error.clear();
    const std::string where = folder.empty() ? LumoPaths::logFolder() : folder;
    if (where.empty()) {
        m_error = "There is no log folder to write the ingest report into.";
        return false;
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = where + (where.back() == '/' ? "" : "/") + "ingest-report-" + stamp;
    int e = EEXIST;
    for (int attempt = 1; attempt <= 100 && e == EEXIST; ++attempt) {
        m_path = base + (attempt == 1 ? "" : "-" + std::to_string(attempt)) + ".tsv";
        m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
        e = m_fd < 0 ? errno : 0;
    }
    if (e == 0)
        e = writeAll(m_fd, "source\tdestinations\tsize\tdigest\tresult\n");
    if (e != 0) {
        m_error = "The ingest report '" + m_path + "' could not be written: " + std::strerror(e);
        LUMO_LOG("IngestReport::open() %s", m_error.c_str());
        if (m_fd >= 0) {
            ::close(m_fd);
            ::unlink(m_path.c_str());
            m_fd = -1;
        }
        return false;
    }
    return true;
}

bool IngestReport::isOpen() const {
    std::lock_guard lock(m_mutex);
    return m_fd >= 0;
}

bool IngestReport::add(const Line& line) {
    std::string text = lumo::tsvField(line.source) + "\t";
    for (std::size_t i = 0; i < line.destinations.size(); ++i)
        text += (i ? " | " : "") + lumo::tsvField(line.destinations[i]);
    text += "\t" + std::to_string(line.size) + "\t" + lumo::tsvField(line.digest) + "\t" +
            lumo::tsvField(line.result) + "\n";
    std::lock_guard lock(m_mutex);
    if (m_fd < 0)
        return false;
    // One write per line: what was written survives the program being killed.
    if (const int e = writeAll(m_fd, text)) {
        LUMO_LOG("IngestReport::add() could not write to '%s': %s", m_path.c_str(), std::strerror(e));
        return false;
    }
    return true;
}

void IngestReport::close() {
    std::lock_guard lock(m_mutex);
    if (m_fd < 0)
        return;
    ::fdatasync(m_fd);
    ::close(m_fd);
    m_fd = -1;
}
