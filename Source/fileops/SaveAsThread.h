#pragma once

// Save As: each photo decoded, optionally cropped, turned upright, scaled, converted to sRGB, sharpened
// and watermarked, then written as a new JPEG, TIFF or PNG file with its metadata.

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "background/ProgressInfo.h"
#include "metadata/IPTCRec.h"
#include "variables/VariableSequence.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CopyPhotosThread;
struct VariableContext;

namespace SaveAsText {
inline constexpr char kSaving[] = "Saving selected Photos...";
inline constexpr char kErrors[] = "There were errors during the Save As operation.";
inline constexpr char kGeocodingFailed[] =
    "The Metadata (IPTC) Template being applied requests Reverse "
    "Geocoding but\nit has failed.  Continue without Reverse Geocoding?";
} // namespace SaveAsText

enum SaveAsType : int { kSaveAsJPEG = 0, kSaveAsTIFF = 1, kSaveAsPNG = 2 };
enum SaveAsScaleType : int { kScaleNone = 0, kScalePercentage = 1, kScaleBox = 2, kScaleCustom = 3 };

struct SaveAsOptions {
    int saveAsType = kSaveAsJPEG;
    // Where each photo goes, as for copying (CopyDestinationType): 0 destinationFolder, 1 a subfolder
    // of the photo's own folder named by subfolderTemplate, 2 a folder named by folderTemplate under
    // rootFolder, 3 the photo's own folder.
    int destinationType = 0;
    std::string destinationFolder; // "SaveAsLastDestPath"
    std::string rootFolder;        // "SaveToFolderRootPath"
    std::string folderTemplate;    // "SaveToFolderPath"
    std::string subfolderTemplate; // "CreateSubfolderPath"
    bool renameSequence = false;
    bool applyStationeryPad = false; // the current metadata template, applied to the new files only
    bool openDestination = false;
    int scaleBoxUnits = 0; // 0 pixels
    int rawQuality = 0, renderSource = 0;
    bool renamePhotos = false;
    std::string renameString;
    bool applyCrop = false;
    bool preserveExif = true;
    bool convertToSRGB = false;
    bool sharpenPixels = false;
    bool watermark = false;
    std::string watermarkImage; // the picture laid over the bottom right corner
    std::string watermarkText;  // written over the bottom left corner ({variables} expanded)
    double watermarkOpacity = 0.5;
    bool copyWavFiles = false;
    int scaleType = kScaleNone;
    double scalePercentage = 100.0;
    std::uint32_t scaleBoxSize = 0; // pixels: the long side fits inside
    std::int64_t customWidth = 0, customHeight = 0;
    double imageResolution = 0.0; // dots per inch; 0 leaves it out
    int jpegQuality = 90;         // 1..100
    bool subsampleChroma = true;  // 4:2:0, else 4:4:4
    bool limitJPEGSize = false;
    std::uint64_t limitJPEGSizeKB = 0;
};

// The options as the settings keep them ("SaveAsSettings", one object named after the dialog's
// controls); the defaults for what is not there or not of its type.
SaveAsOptions SaveAsOptionsFromPreferences();
// False when the preferences are not open or refused the value.
bool SaveAsOptionsToPreferences(const SaveAsOptions& options);

// Finds the highest JPEG quality (not above the wanted one) whose encoding fits the byte limit by a
// bisection over qualities 1..wanted; each step encodes the whole image.
class JPEGSizingThread {
public:
    JPEGSizingThread(const NRFBitmapBase& bitmap, const NRFSaveOptions& options, std::uint64_t limitBytes);
    // 0 with the fitting encoding in `out` and its quality in `quality`; 0 with the lowest quality's
    // encoding when none fits (`fits` false); the encoder's result otherwise.
    NRFErr Run(std::string& out, int& quality, bool& fits);
    int Encodings() const { return m_encodings; }

private:
    const NRFBitmapBase& m_bitmap;
    NRFSaveOptions m_options;
    std::uint64_t m_limit;
    int m_encodings = 0;
};

// Unsharp mask: the difference to a 3x3 binomial blur added back by `amount`.
void SharpenBitmap(NRFBitmapBase& bitmap, double amount = 0.6);
// Lays `mark` over the bottom right corner of `bitmap`, at most a quarter of its width, with `opacity`.
bool WatermarkBitmap(NRFBitmapBase& bitmap, const NRFBitmapBase& mark, double opacity);
// Writes `text` (ASCII; other characters show as "?") in white with a dark outline over the bottom
// left corner of `bitmap`, its letters about a thirtieth of the short side high, with `opacity`. False
// when there is nothing to write or no room for it.
bool WatermarkBitmapText(NRFBitmapBase& bitmap, const std::string& text, double opacity);
// The part of `bitmap` that a crop gives (its rectangle turned by its angle about its centre), sampled
// into `out`; 0, or 1 for a crop that gives no pixel and 7 when the memory cannot be had.
NRFErr CropBitmap(const NRFBitmapBase& bitmap, const NRFNormalizedCrop& crop, NRFBitmapBase& out);
// The output size for the scale options; {0, 0} or non-positive values for an invalid request.
void SaveAsScaledSize(const SaveAsOptions& options, std::uint32_t width, std::uint32_t height,
                      std::int64_t& outWidth, std::int64_t& outHeight);

// The rendering steps of SaveFile, each told as it begins (only the steps a photo takes).
enum class SaveAsStep {
    Loading,             // the full resolution pixels
    Cropping,            // the photo's crop
    Rotating,            // turned upright
    ScalingByPercentage, // to a percentage of the size
    ScalingToSize,       // to a width and a height
    ScalingToBox,        // the long side fitted inside a box
    ConvertingToSRGB,
    Sharpening,
    Watermarking,
    Saving, // encoding; the detail is the type: "JPEG", "TIFF" or "PNG"
};

class SaveAsThread : public CProgressInfo {
public:
    SaveAsThread(std::vector<std::string> paths, SaveAsOptions options,
                 ProgressDialogInterface* progress = nullptr);
    ~SaveAsThread() override;

    // Saves one photo (the `index`th of the run, from 1); 0 or an error code. The new file's path is
    // appended to SavedPaths().
    NRFErr SaveFile(const std::string& path, std::uint32_t index);

    // Looks up the places of the photos' GPS positions for the template; false when it failed (the user
    // is then asked whether to go on without). Without one set, the installed geocoder is used.
    std::function<bool(const std::vector<std::string>& paths)> m_reverseGeocode;
    // Told of each rendering step SaveFile takes, as it begins (a caller's log of what was done); the
    // detail names the type for Saving and is empty otherwise. Called on the saving thread.
    std::function<void(SaveAsStep step, const char* detail)> m_stepObserver;

    const std::vector<std::string>& SavedPaths() const { return m_savedPaths; }
    // Per photo reached by the run, in order: its new file (empty when it failed) and the text of its
    // failure (empty when it was saved).
    const std::vector<std::string>& Destinations() const { return m_destinations; }
    const std::vector<std::string>& Failures() const { return m_failures; }
    // The text of the last failure of SaveFile() (empty before any).
    const std::string& LastFailure() const { return m_lastFailure; }
    bool HadErrors() const { return m_errorCount != 0; }
    // "There were errors during the Save As operation." when any photo failed; empty otherwise.
    std::string EndMessage() const;

protected:
    void operator()() override;

    const char* ThreadName() const override { return "SaveAs"; }

private:
    NRFErr fail(const std::string& text, NRFErr code);
    void tell(SaveAsStep step, const char* detail = "") const;
    // The expansion context of the `index`th photo: its sequence number from the run's reservation.
    VariableContext contextFor(std::uint32_t index) const;
    // The current metadata template (read once); null when it is not applied or there is none.
    const IPTCRec* stationery();
    // The photo's destination folder by the destination rule (made when missing); empty on failure.
    std::string destinationFolderFor(const std::string& path, const NRFImageInfoRec& record,
                                     const VariableContext& context);

    std::vector<std::string> m_paths;
    SaveAsOptions m_options;
    std::vector<std::string> m_savedPaths;
    std::vector<std::string> m_claimed;
    std::vector<std::string> m_destinations;
    std::vector<std::string> m_failures;
    std::string m_lastFailure;
    std::size_t m_errorCount = 0;
    std::optional<SequenceReservation> m_reservation;
    bool m_stationeryLoaded = false;
    std::optional<IPTCRec> m_stationery;
    std::unique_ptr<CopyPhotosThread> m_destinationRule;
};
