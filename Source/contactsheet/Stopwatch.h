#pragma once

// Times one step of a longer piece of work. With the "SHOW_DIRSCAN_TIME" debug flag on, each step is
// logged under its name with the seconds it took; a step that takes longer than its limit is always
// logged ("STOPWATCH: TIME %5.3f EXCEEDS LIMIT %5.3f BY %5.3f IN %s:%d: %s").

#include <chrono>
#include <string>

class Stopwatch {
public:
    // `file` and `line` name the step's place in the code (__FILE__, __LINE__).
    Stopwatch(std::string name, double limitSeconds, const char* file, int line);
    ~Stopwatch() { Stop(); }
    Stopwatch(const Stopwatch&) = delete;
    Stopwatch& operator=(const Stopwatch&) = delete;

    // Ends the step and logs it (once); answers the seconds it took.
    double Stop();
    double Elapsed() const;

private:
    std::string m_name;
    double m_limit;
    const char* m_file;
    int m_line;
    std::chrono::steady_clock::time_point m_start;
    bool m_stopped = false;
    double m_seconds = 0;
};
