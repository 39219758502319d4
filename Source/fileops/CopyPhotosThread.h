#pragma once

// Copies or moves the selected photos of a contact sheet, each with its companion and attached files,
// into the folder its options give it, optionally renaming the copies by the naming template and
// applying the current metadata template to the copies (never to the originals). Runs on its own
// thread behind a progress window; a photo that fails is noted (status 6) and the next one goes on.

#include "background/ProgressInfo.h"
#include "contactsheet/DocumentItem.h"
#include "fileops/CopyOptions.h"
#include "metadata/IPTCRec.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct VariableContext;

namespace CopyPhotosText {
inline constexpr char kCopying[] = "Copying selected Photos...";
inline constexpr char kMoving[] = "Moving selected Photos...";
inline constexpr char kGeocodingFailed[] =
    "The Metadata (IPTC) Template being applied during the copy operation\nrequests Reverse Geocoding but "
    "it has failed.  Continue without\nReverse Geocoding?";
inline constexpr char kErrors[] = "There were error(s) during the copy/move operation.";
inline constexpr char kOpenFoldersWarning[] =
    "Warning: %lu folders were generated.  Do you still want to open them?";
} // namespace CopyPhotosText

class CopyPhotosThread : public CProgressInfo {
public:
    // More destination folders than this are opened only after asking.
    static constexpr std::size_t kFoldersOpenedWithoutAsking = 5;

    // `items` in selection order. A non-empty `predefinedDestination` (a drop onto a folder) replaces the
    // destination rule of the options. With "apply template" in the options, `stationery` is the
    // template to apply (the current one when not given).
    CopyPhotosThread(std::vector<DocumentItem::Ref> items, CopyOptions options,
                     ProgressDialogInterface* progress, std::string predefinedDestination = {},
                     std::optional<IPTCRec> stationery = std::nullopt);
    ~CopyPhotosThread() override;

    // The destination folder of `item`, made with its missing parents; empty when it could not be made.
    // `context` carries the photo's index and sequence number for the folder templates.
    std::string GetDestPathForCell(DocumentItem& item, const VariableContext& context);

    // Looks up the places of the photos' GPS positions for the template; false when it failed. Without
    // one set, the lookup fails (there is no geocoder).
    std::function<bool(const std::vector<DocumentItem::Ref>& items)> m_reverseGeocode;
    // Opens one destination folder for the user (nothing is opened without it).
    std::function<void(const std::string& folder)> m_openFolder;

    // After the run: what each photo came to.
    struct PhotoResult {
        std::string source;      // the photo's main file
        std::string destination; // the copy's full path (empty when it failed)
        std::string error;       // why it (or, with a destination, its companion) failed
    };
    const std::vector<PhotoResult>& Results() const { return m_results; }
    // The destination folders, each once, in the order they were first used.
    const std::vector<std::string>& DestinationFolders() const { return m_destinations; }

protected:
    void operator()() override;
    const char* ThreadName() const override { return "CopyPhotos"; }

private:
    void Run();
    // The photo's metadata with the template applied (for the folder templates); false when the
    // template could not be applied.
    bool AppliedMetadata(DocumentItem& item, const VariableContext& context, IPTCRec& metadata,
                         std::string* error);
    void OpenDestinations();
    void ClearAfterUse();

    std::vector<DocumentItem::Ref> m_items;
    CopyOptions m_options;
    std::string m_predefinedDestination;
    std::optional<IPTCRec> m_stationery;
    std::vector<PhotoResult> m_results;
    std::vector<std::string> m_destinations;
};
