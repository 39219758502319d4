#include "gps/GPSLog.h"

#include "app/LumoLog.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

// The comma-separated fields of one sentence, without the checksum; none when the sentence carries a
// checksum that does not match.
std::optional<std::vector<std::string_view>> sentenceFields(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' '))
        line.remove_suffix(1);
    if (line.size() < 6 || line[0] != '$')
        return std::nullopt;
    std::string_view body = line.substr(1);
    if (const auto star = body.find('*'); star != std::string_view::npos) {
        const std::string_view sum = body.substr(star + 1);
        body = body.substr(0, star);
        if (sum.size() >= 2) {
            unsigned expected = 0;
            for (std::size_t i = 0; i < 2; ++i) {
                const char c = sum[i];
                unsigned v = 0;
                if (c >= '0' && c <= '9')
                    v = static_cast<unsigned>(c - '0');
                else if (c >= 'A' && c <= 'F')
                    v = static_cast<unsigned>(c - 'A' + 10);
                else if (c >= 'a' && c <= 'f')
                    v = static_cast<unsigned>(c - 'a' + 10);
                else
                    return std::nullopt;
                expected = expected * 16 + v;
            }
            unsigned computed = 0;
            for (const char c : body)
                computed ^= static_cast<unsigned char>(c);
            if (computed != expected)
                return std::nullopt;
        }
    }
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (fields.size() < 32) {
        const auto comma = body.find(',', start);
        fields.push_back(
            body.substr(start, comma == std::string_view::npos ? body.size() - start : comma - start));
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    return fields;
}

// A decimal number filling the whole field ("12.5", "-3"); none when empty or malformed.
std::optional<double> number(std::string_view field) {
    if (field.empty() || field.size() > 40)
        return std::nullopt;
    const std::string text(field);
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(v))
        return std::nullopt;
    // strtod also reads hexadecimal, "inf" and "nan"; NMEA numbers are plain decimals
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+'))
            return std::nullopt;
    return v;
}

// Two decimal digits at `at`.
std::optional<unsigned> twoDigits(std::string_view field, std::size_t at) {
    if (field.size() < at + 2)
        return std::nullopt;
    const char a = field[at], b = field[at + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9')
        return std::nullopt;
    return static_cast<unsigned>((a - '0') * 10 + (b - '0'));
}

// "hhmmss" or "hhmmss.sss" as seconds of the day (the fraction dropped).
std::optional<std::int64_t> timeOfDay(std::string_view field) {
    const auto h = twoDigits(field, 0), m = twoDigits(field, 2), s = twoDigits(field, 4);
    if (!h || !m || !s || *h > 23 || *m > 59 || *s > 60)
        return std::nullopt;
    if (field.size() > 6 && (field[6] != '.' || !number(field.substr(6))))
        return std::nullopt;
    return static_cast<std::int64_t>(*h) * 3600 + *m * 60 + *s;
}

// NMEA ddmm.mmmm / dddmm.mmmm with its hemisphere letter, as signed decimal degrees.
std::optional<double> degrees(std::string_view value, std::string_view hemisphere, double limit) {
    const auto v = number(value);
    if (!v || *v < 0.0 || hemisphere.size() != 1)
        return std::nullopt;
    const double whole = std::floor(*v / 100.0);
    const double minutes = *v - whole * 100.0;
    // Writers that round the minutes to a few decimals write 59.9996 as "60.000": up to a
    // thousandth past 60 is that rounding.
    if (minutes >= 60.001)
        return std::nullopt;
    double d = whole + minutes / 60.0;
    if (d > limit)
        return std::nullopt;
    const char h = hemisphere[0];
    if (h == 'S' || h == 'W')
        d = -d;
    else if (h != 'N' && h != 'E')
        return std::nullopt;
    return d;
}

bool isSentence(std::string_view type, std::string_view name) {
    // "$GPRMC", and the same sentence from the other talkers ("GN", "GL", "GA")
    return type.size() == 5 && type.substr(2) == name;
}

int closeFd(int& fd) {
    int rc = 0;
    if (fd >= 0)
        rc = ::close(fd);
    fd = -1;
    return rc;
}

bool isExecutable(const std::string& path) {
    return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

} // namespace

std::string GPSTimeKey(std::int64_t utcSeconds) {
    std::int64_t days = utcSeconds / 86400, rest = utcSeconds % 86400;
    if (rest < 0)
        rest += 86400, --days;
    std::int64_t y = 0;
    unsigned m = 0, d = 0;
    civilFromDays(days, y, m, d);
    char key[64];
    std::snprintf(key, sizeof key, "%04d%02d%02d%02d%02d%02d", static_cast<int>(y), m, d,
                  static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                  static_cast<int>(rest % 60));
    return key;
}

std::int64_t GPSSecondsFromCivil(int year, int month, int day, int hour, int minute, int second) {
    return daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
           static_cast<std::int64_t>(hour) * 3600 + minute * 60 + second;
}

std::string GPSRecognizeLogFormat(std::string_view firstText) {
    static constexpr std::string_view kGisteqHeader = "Tag,$GPGGA,UTC(hhmmss.sss),Latitude,N/S,Longitude,E/W";
    if (firstText.find(kGisteqHeader) != std::string_view::npos)
        return "nmea,gisteq";
    bool magellan = false;
    std::size_t start = 0;
    while (start < firstText.size()) {
        auto end = firstText.find('\n', start);
        if (end == std::string_view::npos)
            end = firstText.size();
        std::string_view line = firstText.substr(start, end - start);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t' || line.front() == '\r'))
            line.remove_prefix(1);
        // a standard talker's sentence anywhere in the first lines (loggers mix in their own sentences)
        if (line.size() >= 6 && line.substr(0, 3) == "$GP" && line[3] >= 'A' && line[3] <= 'Z')
            return "nmea";
        if (line.substr(0, 5) == "$PMGN")
            magellan = true;
        start = end + 1;
    }
    if (magellan)
        return "magellan";
    if (firstText.find("<kml") != std::string_view::npos)
        return "kml";
    if (firstText.find("<TrainingCenterDatabase") != std::string_view::npos)
        return "gtrnctr";
    return "gpx";
}

std::vector<std::string> GPSBabelArguments(const std::string& format, const std::string& path) {
    // A path starting with "-" would read as an option or as standard input.
    const std::string file = !path.empty() && path[0] == '-' ? "./" + path : path;
    return {"-i", format, "-f", file, "-o", "nmea,gprmc=1,gpgga=1,gpvtg=0,gpgsa=0,ignore_fix", "-F", "-"};
}

std::string GPSBabelPath() {
    if (const char* own = std::getenv("LUMO_GPSBABEL"))
        return isExecutable(own) ? std::string(own) : std::string();
    const char* path = std::getenv("PATH");
    std::string_view dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!dirs.empty()) {
        const auto colon = dirs.find(':');
        const std::string_view dir = dirs.substr(0, colon);
        if (!dir.empty()) {
            const std::string candidate = std::string(dir) + "/gpsbabel";
            if (isExecutable(candidate))
                return candidate;
        }
        if (colon == std::string_view::npos)
            break;
        dirs.remove_prefix(colon + 1);
    }
    return {};
}

std::string GPSBabelMissingText() {
    return "GPS logs are read through GPSBabel, which is not installed. Install the package \"gpsbabel\" "
           "(sudo apt-get install gpsbabel) and load the log again.";
}

void GPSLog::add(const GPSCoordinate& point) {
    m_points[GPSTimeKey(point.time)] = point;
}

std::size_t GPSLog::ParseNMEA(std::string_view text) {
    std::size_t added = 0;
    // The last $GPRMC point (its time of day and key) and a $GPGGA altitude waiting for its $GPRMC.
    std::optional<std::int64_t> rmcTimeOfDay;
    std::string rmcKey;
    std::optional<std::pair<std::int64_t, double>> pendingAltitude;

    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        const auto fields = sentenceFields(line);
        if (!fields || fields->empty())
            continue;
        const auto& f = *fields;
        if (isSentence(f[0], "RMC") && f.size() >= 10) {
            const auto tod = timeOfDay(f[1]);
            const auto lat = degrees(f[3], f[4], 90.0);
            const auto lon = degrees(f[5], f[6], 180.0);
            const auto day = twoDigits(f[9], 0), month = twoDigits(f[9], 2), year = twoDigits(f[9], 4);
            if (!tod || !lat || !lon || !day || !month || !year || f[9].size() != 6 || *day < 1 ||
                *day > 31 || *month < 1 || *month > 12)
                continue;
            GPSCoordinate point;
            point.latitude = *lat;
            point.longitude = *lon;
            const int fullYear = static_cast<int>(*year < 80 ? 2000 + *year : 1900 + *year);
            point.time =
                GPSSecondsFromCivil(fullYear, static_cast<int>(*month), static_cast<int>(*day), 0, 0, 0) +
                *tod;
            // The converter writes 0.00 for a log without speeds: taken as none, so that the speed is
            // worked out from the distance between points.
            if (const auto speed = number(f[7]); speed && *speed > 0.0)
                point.speed = *speed;
            if (const auto course = number(f[8]))
                point.course = *course;
            if (pendingAltitude && pendingAltitude->first == *tod)
                point.altitude = pendingAltitude->second;
            pendingAltitude.reset();
            rmcTimeOfDay = *tod;
            rmcKey = GPSTimeKey(point.time);
            if (m_points.insert_or_assign(rmcKey, point).second)
                ++added;
        } else if (isSentence(f[0], "GGA") && f.size() >= 10) {
            const auto tod = timeOfDay(f[1]);
            const auto altitude = number(f[9]);
            if (!tod || !altitude)
                continue;
            if (rmcTimeOfDay && *rmcTimeOfDay == *tod) {
                if (const auto it = m_points.find(rmcKey); it != m_points.end())
                    it->second.altitude = *altitude;
            } else {
                pendingAltitude = std::make_pair(*tod, *altitude);
            }
        }
    }
    return added;
}

long GPSLog::LoadFile(const std::string& path, std::string& error) {
    error.clear();
    // The format, from the first text of the file.
    std::string head;
    {
        // Without waiting for a writer when the path is a pipe: only a file is a log.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            error = "Cannot open the GPS log " + path + ": " + std::strerror(errno);
            return -1;
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            error = "The GPS log " + path + " is not a file.";
            return -1;
        }
        head.resize(4096);
        ssize_t got = 0;
        do
            got = ::read(fd, head.data(), head.size());
        while (got < 0 && errno == EINTR);
        ::close(fd);
        head.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    const std::string format = GPSRecognizeLogFormat(head);

    const std::string program = GPSBabelPath();
    if (program.empty()) {
        error = GPSBabelMissingText();
        return -1;
    }
    std::vector<std::string> args = GPSBabelArguments(format, path);
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        error = std::string("Cannot run GPSBabel: ") + std::strerror(errno);
        closeFd(out[0]), closeFd(out[1]);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    closeFd(out[1]);
    closeFd(err[1]);
    if (rc != 0) {
        closeFd(out[0]), closeFd(err[0]);
        error = "Cannot run GPSBabel (" + program + "): " + std::strerror(rc);
        return -1;
    }

    // Both outputs, bounded, until they close or the time runs out.
    std::string output, messages;
    bool tooLong = false, timedOut = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_timeLimit);
    while (out[0] >= 0 || err[0] >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        const int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (n < 0 && errno != EINTR)
            break;
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                closeFd(i == 0 ? out[0] : err[0]);
                continue;
            }
            std::string& into = i == 0 ? output : messages;
            const std::size_t limit = i == 0 ? m_maxOutput : 64 * 1024;
            if (into.size() + static_cast<std::size_t>(got) > limit) {
                if (i == 0) {
                    tooLong = true;
                    break;
                }
                continue; // the messages are only shown; the rest is dropped
            }
            into.append(buffer, static_cast<std::size_t>(got));
        }
        if (tooLong)
            break;
    }
    closeFd(out[0]);
    closeFd(err[0]);
    if (timedOut || tooLong)
        ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) {
        error = "GPSBabel did not finish reading " + path + " within " + std::to_string(m_timeLimit) +
                " seconds.";
        return -1;
    }
    if (tooLong) {
        error = "The GPS log " + path + " is too large to read.";
        return -1;
    }

    const std::size_t added = ParseNMEA(output);
    const bool failed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    if (failed || added == 0) {
        auto firstLine = messages.substr(0, messages.find('\n'));
        LUMO_LOG("GPSLog::LoadFile() %s (format %s): %zu points, converter status %d: %s", path.c_str(),
                 format.c_str(), added, status, firstLine.c_str());
    }
    if (added == 0) {
        error = kGPSLogParseErrorText;
        if (const auto firstLine = messages.substr(0, messages.find('\n')); failed && !firstLine.empty())
            error += "\nGPSBabel: " + firstLine;
        return -1;
    }
    return static_cast<long>(added);
}
