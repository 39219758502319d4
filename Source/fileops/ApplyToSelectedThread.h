#pragma once

// Applies a metadata template (or a pasted snapshot) to the selected photos: for each photo its record
// is loaded, the template applied with its variables expanded for that photo (and, when the template asks
// for it, the place found by reverse geocoding), and the record saved where the photo's type keeps it.
// Runs on its own thread behind a progress window. A photo that cannot be captioned is counted, and the
// user is asked whether to go on with the remaining ones.

#include "background/ProgressInfo.h"
#include "metadata/IPTCRec.h"
#include "metadata/IPTCUtils.h"
#include "metadata/PhotoMetadata.h"
#include "support/PhotoLocks.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class NRFMetadataCommit;
class NRFImageInfoRec;

namespace ApplyTemplateText {
inline constexpr char kPreparing[] = "Preparing to apply Metadata (IPTC) Template...";
inline constexpr char kApplying[] = "Applying Metadata (IPTC) Template...";
inline constexpr char kApplyingTo[] = "Applying to ";
inline constexpr char kApplyToRemaining[] =
    "Apply the Metadata (IPTC) Template to the remaining %lu photo%s?";
inline constexpr char kCannotCaption[] = "%lu of %lu of the selected photos cannot be captioned\n";
inline constexpr char kGeocodingFailed[] =
    "The Metadata (IPTC) Template being applied requests Reverse Geocoding but it\nhas failed.  Continue "
    "without Reverse Geocoding?";
} // namespace ApplyTemplateText

class ApplyToSelectedThread : public CProgressInfo {
public:
    // `paths`: the photos' files, in selection order.
    ApplyToSelectedThread(std::vector<std::string> paths, IPTCRec stationery,
                          ProgressDialogInterface* progress);
    ~ApplyToSelectedThread() override;

    // What became of one photo.
    struct PhotoResult {
        std::string path;
        bool reached = false;     // false for photos the run did not come to (cancelled, or the user stopped)
        std::uint32_t result = 0; // 0 when the template was written; otherwise the engine's result
        std::string error;        // why it failed, in the user's words
        bool wroteFile = false;
        std::string sidecar; // the sidecar written, when the photo's type keeps one
    };
    const std::vector<PhotoResult>& Results() const { return m_results; }
    // The photos that could not be captioned (reached and failed).
    std::size_t FailedCount() const;

    // Words for an engine failure on a file (the front end's); without it the engine's own text.
    // Called on the operation's thread right after the failure.
    std::function<std::string(std::uint32_t result, const std::string& path)> m_describeFailure;
    // Photos whose new version waits to be committed together (one flush for many files).
    static constexpr std::size_t kFilesPerBatch = 64;

protected:
    void operator()() override;
    const char* ThreadName() const override { return "ApplyTemplate"; }

private:
    void Run();
    void ApplyToPhoto(PhotoResult& result, std::size_t index);
    void Fail(PhotoResult& result, std::uint32_t code, const std::string& path, bool engine);
    bool GoOnAfterFailure(std::size_t index);
    void Commit();

    std::vector<std::string> m_paths;
    IPTCRec m_stationery;
    std::vector<PhotoResult> m_results;
    IPTCSaveSettings m_saving;
    IPTCEncodingSettings m_encoding;
    bool m_sequence = false;
    bool m_geocode = false;
    std::unique_ptr<NRFMetadataCommit> m_batch;
    std::vector<std::size_t> m_pending;                   // the photos whose content waits in m_batch
    std::vector<std::shared_ptr<NRFImageInfoRec>> m_open; // their records, read again after the commit
    lumo::PhotoLocks m_locks; // the photos this run holds while it changes them (another process waits)
};

// Starts applying `stationery` to the photos behind `progress` (the caller runs the window and joins);
// null when the thread could not be started.
std::unique_ptr<ApplyToSelectedThread> DoApplyStationeryPadToSelected(std::vector<std::string> paths,
                                                                      const IPTCRec& stationery,
                                                                      ProgressDialogInterface* progress);
