#include "contactsheet/Stopwatch.h"

#include "app/LumoLog.h"

#include <cstring>

Stopwatch::Stopwatch(std::string name, double limitSeconds, const char* file, int line)
    : m_name(std::move(name)), m_limit(limitSeconds), m_file(file), m_line(line),
      m_start(std::chrono::steady_clock::now()) {}

double Stopwatch::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

double Stopwatch::Stop() {
    if (m_stopped)
        return m_seconds;
    m_stopped = true;
    m_seconds = Elapsed();
    const char* slash = std::strrchr(m_file, '/');
    const char* file = slash ? slash + 1 : m_file;
    if (m_seconds > m_limit)
        LUMO_LOG("STOPWATCH: TIME %5.3f EXCEEDS LIMIT %5.3f BY %5.3f IN %s:%d: %s", m_seconds, m_limit,
                 m_seconds - m_limit, file, m_line, m_name.c_str());
    else
        LUMO_CHANNEL_LOG(DebugFlag::SHOW_DIRSCAN_TIME, "%s: %5.3f", m_name.c_str(), m_seconds);
    return m_seconds;
}
