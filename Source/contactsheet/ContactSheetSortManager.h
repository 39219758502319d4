#pragma once

// Sorting contact sheets off the window's thread: a process-wide pool of four sort threads. A job
// gathers one sort record per item (from the item's record, else the fresh sort-cache row, else the
// file, which the cache then remembers), filters, sorts, and hands the order back through its
// completion callback. A newer job for the same document cancels the older ones.

#include "contactsheet/ContactSheetSort.h"
#include "contactsheet/DocumentItem.h"
#include "contactsheet/DocumentSelection.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct ContactSheetSortStatus {
    enum Phase : std::uint8_t { Gathering, Sorting, Filtering, Preloading };
    Phase phase = Gathering;
    unsigned percent = 0;
    // "Gathering sort info:", "Sorting:", "Filtering:", "Preloading metadata:"
    static const char* PhaseText(Phase phase);
};

struct ContactSheetSortResult {
    std::uint32_t serial = 0;
    // Indexes into the job's item list, in display order (filtered items left out).
    std::vector<std::uint32_t> order;
    // The gathered keys, by item index (what a listing shows without reading the files again).
    std::vector<ContactSheetSortRecord> records;
};

struct ContactSheetSortWork {
    std::uint32_t document = 0;
    std::uint32_t serial = 0;
    ContactSheetSortSettings settings;
    std::vector<DocumentItem::Ref> items;
    DocumentSelection selection; // for "Selected"
    bool folderBased = true;
    std::function<void(const ContactSheetSortStatus&)> status;
    // Called once on the sort thread: completed (with the result) or cancelled (result empty).
    std::function<void(bool completed, const ContactSheetSortResult& result)> completion;
};

class CLumoApp;

class ContactSheetSortManager {
public:
    virtual ~ContactSheetSortManager() = default;

    // The process's manager (null outside initialize .. terminate).
    static ContactSheetSortManager* instance();
    static void initialize(); // "ContactSheetSortManagerImpl initializing"
    static void terminate();  // "ContactSheetSortManagerImpl terminating", "... termination complete"

    // Serials grow per document: a job marks the document's jobs with lower serials cancelled, and
    // cancel_sort and stop_work_for_document cancel every serial given so far.
    virtual void queue_sort(ContactSheetSortWork work) = 0;
    virtual void cancel_sort(std::uint32_t document) = 0;
    // Cancels and waits until no sort thread runs a job of the document.
    virtual void stop_work_for_document(std::uint32_t document) = 0;
    virtual std::optional<ContactSheetSortResult> get_result_for(std::uint32_t document) = 0;
};

// Runs one job on the calling thread (what a sort thread does with it); nullopt when cancelled.
std::optional<ContactSheetSortResult> RunContactSheetSort(const ContactSheetSortWork& work,
                                                          const std::function<bool()>& shouldCancel);

// One item's sort record (index, file name, keys): from its record when loaded, else from a fresh
// sort-cache row, else read from the file and remembered in the sort cache. Custom keys need the record:
// `settings` asking for a custom sort loads it.
ContactSheetSortRecord GatherContactSheetSortRecord(DocumentItem& item, std::uint32_t index,
                                                    const ContactSheetSortSettings& settings);

// The filter and sort steps of a job over records already gathered (records[i] for item i; work.items
// is not read). `documentNumbers[i]` is item i's document number for the "Selected" filter (the
// record's index when the list is empty). Nullopt when cancelled.
std::optional<ContactSheetSortResult>
SortContactSheetRecords(std::vector<ContactSheetSortRecord> records,
                        const std::vector<std::int32_t>& documentNumbers, const ContactSheetSortWork& work,
                        const std::function<bool()>& shouldCancel);

// Adds the start-up step that starts the sort threads and the shutdown step that stops them (first, with
// the main frame: a sort may be using the image caches).
void addContactSheetSortService(CLumoApp& app);
