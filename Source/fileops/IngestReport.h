#pragma once

// The record of one ingest, "ingest-report-<time>.tsv" beside the log: one line per photo with its source,
// its destinations, its size, its digest and the result. Each line is written and flushed as the ingest
// goes, so a report of an interrupted ingest holds everything done before the interruption.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class IngestReport {
public:
    struct Line {
        std::string source;
        std::vector<std::string> destinations; // written separated by " | "
        std::uint64_t size = 0;
        std::string digest; // hexadecimal, or empty
        std::string result; // one of the k... texts below, or a failure's reason
    };
    static constexpr const char* kCopied = "copied";
    static constexpr const char* kVerified = "verified";
    static constexpr const char* kArrived = "already there";
    static constexpr const char* kSkipped = "skipped";

    IngestReport() = default;
    ~IngestReport();
    IngestReport(const IngestReport&) = delete;
    IngestReport& operator=(const IngestReport&) = delete;

    // Creates a new report in `folder` (the log folder when empty), named after the local time
    // ("ingest-report-20261207-171500.tsv", "-2", "-3"... when taken) with its heading line. False with
    // the reason in error() when it cannot be made.
    bool open(const std::string& folder = {});
    bool isOpen() const;
    const std::string& path() const { return m_path; }
    const std::string& error() const { return m_error; }

    // Writes one line and flushes it (safe from several threads). Tabs, line breaks and backslashes in
    // the texts are written as \t, \n, \r and \\. False when the line could not be written.
    bool add(const Line& line);
    void close();

private:
    mutable std::mutex m_mutex;
    int m_fd = -1;
    std::string m_path;
    std::string m_error;
};
