#include "db/PreferenceKeys.h"

#include <algorithm>
#include <string>

namespace {

PreferenceKey attachedKind(const char* kind, std::string what) {
    return {.name = std::string(kPrefAttachedFilesPrefix) + kind,
            .type = PreferenceType::Boolean,
            .defaultNumber = 1,
            .meaning = "Copy, move, rename and delete " + what + " with the photo"};
}

// A list of metadata field identifiers joined by ",".
PreferenceKey fieldList(const char* name, std::string what) {
    return {.name = name, .type = PreferenceType::Text, .meaning = what + " (field names joined by \",\")"};
}

// One character (UTF-8), printable, and not a brace of the variables.
bool isCodeDelimiter(const std::string& text) {
    std::size_t characters = 0;
    for (const char c : text)
        characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return characters == 1 && static_cast<unsigned char>(text[0]) >= 0x20 && text != "{" && text != "}";
}

std::vector<PreferenceKey> makeKeys() {
    std::vector<PreferenceKey> keys = {
        {.name = kPrefCachePath,
         .type = PreferenceType::Text,
         .meaning = "The folder of the image caches (thumbnails, previews, sort cache); the log stays put"},
        {.name = kPrefSortCacheCheckDate,
         .type = PreferenceType::Boolean,
         .defaultNumber = kPrefSortCacheCheckDateDefault ? 1 : 0,
         .meaning = "At start-up, forget sort-cache entries older than SortCacheDays days"},
        {.name = kPrefSortCacheDays,
         .type = PreferenceType::Integer,
         .defaultNumber = kPrefSortCacheDaysDefault,
         .minimum = 1,
         .maximum = 36500,
         .meaning = "The age in days after which SortCacheCheckDate forgets a sort-cache entry"},
        {.name = kPrefRenameResolutionStyle,
         .type = PreferenceType::Integer,
         .defaultNumber = kPrefRenameResolutionStyleDefault,
         .minimum = 0,
         .maximum = 4,
         .meaning = "How a taken destination name is made free: 0 letter, 1 digit, 2 always a digit, 3 two "
                    "digits, 4 always two digits"},
        {.name = kPrefUseUppercaseExtensions,
         .type = PreferenceType::Integer,
         .defaultNumber = kPrefUseUppercaseExtensionsDefault,
         .minimum = 0,
         .maximum = 3,
         .meaning = "Extension case of copied and renamed files: 0 lower, 1 upper, 2 source's (else lower), "
                    "3 source's (else upper)"},
        {.name = kPrefUpdateCreationTimesDuringCopy,
         .type = PreferenceType::Boolean,
         .defaultNumber = kPrefUpdateCreationTimesDuringCopyDefault ? 1 : 0,
         .meaning = "Set a copy's creation time from the capture time (Linux has none to set: the copy keeps "
                    "its file times)"},
        {.name = kPrefImageCacheMaxMB,
         .type = PreferenceType::Integer,
         .defaultNumber = kPrefImageCacheMaxMBDefault,
         .minimum = 16,
         .maximum = 1 << 20,
         .meaning = "The most memory in MiB the image cache keeps pictures in"},
        {.name = kPrefDecodeMemoryLimit,
         .type = PreferenceType::Integer,
         .defaultNumber = kPrefDecodeMemoryLimitDefault,
         .minimum = kPrefDecodeMemoryLimitMinimum,
         .maximum = kPrefDecodeMemoryLimitMaximum,
         .meaning = "The memory in MiB that decoding one picture may use; larger pictures are refused"},
        {.name = kPrefIPTCReadEncoding,
         .type = PreferenceType::Text,
         .defaultText = kPrefIPTCReadEncodingDefault,
         .meaning = "The character set of IPTC blocks that do not say they are UTF-8"},
        {.name = kPrefIPTCWriteEncoding,
         .type = PreferenceType::Text,
         .defaultText = kPrefIPTCWriteEncodingDefault,
         .meaning = "The character set IPTC blocks are written in (UTF-8 blocks stay UTF-8)"},
        {.name = kPrefIPTCLineEndings,
         .type = PreferenceType::Integer,
         .defaultNumber = kPrefIPTCLineEndingsDefault,
         .minimum = 0,
         .maximum = 2,
         .meaning = "Line breaks written in IPTC text: 0 CR, 1 LF, 2 CR LF"},
        {.name = kPrefIPTCRepeatingFieldSeparator,
         .type = PreferenceType::Text,
         .defaultText = kPrefIPTCFieldSeparatorDefault,
         .meaning = "The character between the items of list fields such as keywords"},
        {.name = kPrefIPTCFieldSeparator,
         .type = PreferenceType::Text,
         .defaultText = kPrefIPTCFieldSeparatorDefault,
         .meaning = "Older name of IPTCXMP_RepeatingFieldSeparator, read when that is not set"},
        {.name = kPrefIPTCStandardAddIPTC,
         .defaultNumber = kPrefIPTCStandardAddIPTCDefault,
         .meaning = "Saving metadata into ordinary image files writes the IPTC block besides the XMP"},
        {.name = kPrefIPTCRawAddXMPSidecar,
         .defaultNumber = kPrefIPTCRawAddXMPSidecarDefault,
         .meaning = "Saving metadata of raw files writes their .XMP sidecar"},
        {.name = kPrefIPTCRawDontUpdateEmbedded,
         .defaultNumber = kPrefIPTCRawDontUpdateEmbeddedDefault,
         .meaning = "Saving metadata of raw files leaves the metadata inside the file alone"},
        {.name = kPrefIPTCRawAddXMP,
         .defaultNumber = kPrefIPTCRawAddXMPDefault,
         .meaning = "Saving metadata of raw files embeds XMP in the file"},
        {.name = kPrefIPTCRawAddIPTC,
         .defaultNumber = kPrefIPTCRawAddIPTCDefault,
         .meaning = "Saving metadata of raw files embeds the IPTC block (and XMP) in the file"},
        {.name = kPrefAllowRawModification,
         .defaultNumber = kPrefAllowRawModificationDefault,
         .meaning = "Raw files may be modified at all"},
        {.name = kPrefSynchColorClassAndLabel,
         .type = PreferenceType::Boolean,
         .defaultNumber = kPrefSynchColorClassAndLabelDefault ? 1 : 0,
         .meaning = "Write the colour class's name as the XMP label"},
        {.name = kPrefSynchColorClassAndUrgency,
         .type = PreferenceType::Boolean,
         .defaultNumber = kPrefSynchColorClassAndUrgencyDefault ? 1 : 0,
         .meaning = "Write the colour class as the urgency as well"},
        {.name = kPrefStructuredKeywordsHierarchicalOnly,
         .type = PreferenceType::Boolean,
         .defaultNumber = kPrefStructuredKeywordsHierarchicalOnlyDefault ? 1 : 0,
         .meaning = "Write keywords holding \"|\" only as hierarchical keywords in XMP, not as plain ones"},
        {.name = kPrefSequenceNumber,
         .type = PreferenceType::Integer,
         .defaultNumber = kPrefSequenceNumberDefault,
         .minimum = 0,
         .maximum = kPrefSequenceNumberMaximum,
         .meaning = "The next number {sequence} gives"},
        {.name = kPrefSequenceDigits,
         .type = PreferenceType::Integer,
         .defaultNumber = kPrefSequenceDigitsDefault,
         .minimum = 0,
         .maximum = kPrefSequenceDigitsMaximum,
         .meaning = "The digits {sequence} is zero padded to"},
        {.name = kPrefIngestSequenceNumber,
         .type = PreferenceType::Integer,
         .defaultNumber = kPrefSequenceNumberDefault,
         .minimum = 0,
         .maximum = kPrefSequenceNumberMaximum,
         .meaning = "The next number {ingestseq} gives"},
        {.name = kPrefIngestSequenceDigits,
         .type = PreferenceType::Integer,
         .defaultNumber = kPrefIngestSequenceDigitsDefault,
         .minimum = 0,
         .maximum = kPrefSequenceDigitsMaximum,
         .meaning = "The digits {ingestseq} is zero padded to"},
        {.name = kPrefIncludeUnknownFilesAsProxies,
         .type = PreferenceType::Boolean,
         .defaultNumber = kPrefIncludeUnknownFilesAsProxiesDefault ? 1 : 0,
         .meaning = "Contact sheets show files of unknown types as proxy items"},
    };
    for (int i = 1; i <= 8; ++i)
        keys.push_back({.name = "ColorClass" + std::to_string(i) + "Label",
                        .type = PreferenceType::Text,
                        .meaning = "The name of colour class " + std::to_string(i)});
    keys.push_back(
        fieldList(kPrefIPTCInfoClearFields, "The fields that clearing in the metadata editor empties"));
    keys.push_back(
        fieldList(kPrefIPTCStationeryClearFields, "The fields that clearing in the template empties"));
    keys.push_back(fieldList(kPrefIPTCStationeryClearApplyCheckboxes,
                             "The fields whose apply boxes clearing in the template also clears"));
    keys.push_back(fieldList(kPrefIPTCFindFields, "The fields that find searches"));
    keys.push_back(fieldList(kPrefIPTCFindAndReplaceFields, "The fields that find and replace changes"));
    keys.push_back({.name = kPrefCodeReplacementsPaths,
                    .type = PreferenceType::Text,
                    .meaning = "The code replacement files, one path a line, loaded in this order"});
    keys.push_back({.name = kPrefCodeReplacementsDelimiter,
                    .type = PreferenceType::Text,
                    .defaultText = kPrefCodeReplacementsDelimiterDefault,
                    .meaning = "The character written before and after a code (not { or })"});
    keys.push_back({.name = kPrefCodeReplacementsDefault,
                    .type = PreferenceType::Text,
                    .meaning = "The namespace codes are looked up in first (empty: Global first)"});
    keys.push_back({.name = kPrefContactSheetSortExtended,
                    .type = PreferenceType::Integer,
                    .defaultNumber = kPrefContactSheetSortExtendedDefault,
                    .minimum = 0,
                    .maximum = 0xFFFFFFFF,
                    .meaning = "How contact sheets are sorted: 0 capture time, 1 modified, 2 name, 3 colour "
                               "class, 4 rating, 5 arrangement, 6.. the custom sorts"});
    keys.push_back({.name = kPrefContactSheetSortReverse,
                    .defaultNumber = kPrefContactSheetSortReverseDefault ? 1 : 0,
                    .meaning = "Contact sheets are sorted in descending order"});
    keys.push_back({.name = kPrefCustomSortSettings,
                    .type = PreferenceType::List,
                    .meaning = "The custom sorts: objects with Name, PrimarySort, SecondarySort and "
                               "ReverseSecondaryCheckbox (empty: the predefined ones)"});
    keys.push_back(
        {.name = kPrefDisplayICCProfile,
         .type = PreferenceType::Text,
         .meaning = "The screen's ICC profile file the preview converts pictures for (empty: sRGB)"});
    keys.push_back(attachedKind("AAE", ".AAE edit files"));
    keys.push_back(attachedKind("ACR", "settings files named <photo>_ACR"));
    keys.push_back(attachedKind("BIB", ".BIB files"));
    keys.push_back(attachedKind("DOP", ".DOP files"));
    keys.push_back(attachedKind("FLT", ".FLT files"));
    keys.push_back(attachedKind("IDPRE", ".IDPRE files"));
    keys.push_back(attachedKind("IDSF", ".IDSF files"));
    keys.push_back(attachedKind("LZN", ".LZN files"));
    keys.push_back(attachedKind("NKS", ".NKS files"));
    keys.push_back(attachedKind("ON1", ".ON1 files"));
    keys.push_back(attachedKind("ORI", ".ORI originals"));
    keys.push_back(attachedKind("PP3", ".PP3 files"));
    keys.push_back(attachedKind("RDSF", ".RDSF files"));
    keys.push_back(attachedKind("SND", ".WAV sound files (also SND_<number>.WAV)"));
    keys.push_back(attachedKind("THM", ".THM thumbnails"));
    keys.push_back(attachedKind("XIP", "the .XIP prefs sidecar"));
    keys.push_back({.name = kPrefLastContactSheetPath,
                    .type = PreferenceType::Text,
                    .meaning = "The folder last opened as a contact sheet (where opening a folder starts)"});
    keys.push_back({.name = kPrefJoinRAWPlusJPEG,
                    .type = PreferenceType::Boolean,
                    .defaultNumber = kPrefJoinRAWPlusJPEGDefault ? 1 : 0,
                    .meaning = "New contact sheets show a raw file and its JPEG, HEIF or HEIC as one item"});
    keys.push_back({.name = kPrefMDIStateWindowPlacement,
                    .type = PreferenceType::Text,
                    .meaning = "The desktop window's size and place (kept by the window)"});
    keys.push_back({.name = kPrefSessionStatePanes,
                    .type = PreferenceType::Text,
                    .meaning = "The desktop window's panes and toolbar (kept by the window)"});
    keys.push_back(
        {.name = kPrefMDIStateDocuments,
         .type = PreferenceType::List,
         .meaning = "The contact sheets open when the desktop window closed, reopened at its start"});
    keys.push_back({.name = kPrefMDIStateActiveDocument,
                    .type = PreferenceType::Integer,
                    .minimum = 0,
                    .meaning = "The contact sheet in front when the desktop window closed"});
    keys.push_back({.name = kPrefFolderPaneBookmarks,
                    .type = PreferenceType::Text,
                    .meaning = "The folder pane's bookmarked folders, one a line"});
    keys.push_back({.name = kPrefContactSheetThumbnailSize,
                    .type = PreferenceType::Integer,
                    .defaultNumber = kPrefContactSheetThumbnailSizeDefault,
                    .minimum = kPrefContactSheetThumbnailSizeMinimum,
                    .maximum = kPrefContactSheetThumbnailSizeMaximum,
                    .meaning = "The long side of the desktop's thumbnails in pixels"});
    keys.push_back(
        {.name = kPrefContactSheetCaptionTemplate,
         .type = PreferenceType::Text,
         .meaning = "The desktop's caption line under each thumbnail ({variables}; empty: the file name)"});
    // -- metadata template
    keys.push_back({.name = kPrefIPTCStationeryPadPackedRecord,
                    .type = PreferenceType::Text,
                    .meaning = "The metadata template as an IIM block (hex; kept by the template)"});
    keys.push_back({.name = kPrefIPTCStationeryPadXMP,
                    .type = PreferenceType::Text,
                    .meaning = "The metadata template as an XMP packet (kept by the template)"});
    keys.push_back({.name = kPrefIPTCStationeryPadApplyFields,
                    .type = PreferenceType::Text,
                    .meaning = "The template's fields applied: one 0 or 1 per field index"});
    keys.push_back(
        {.name = kPrefIPTCStationeryPadMergeFields,
         .type = PreferenceType::Text,
         .meaning = "The template's list fields merged with the photo's: one 0 or 1 per field index"});
    keys.push_back({.name = kPrefIPTCStationeryPadCaptionMergeStyle,
                    .type = PreferenceType::Integer,
                    .defaultNumber = kPrefIPTCStationeryPadCaptionMergeStyleDefault,
                    .minimum = 0,
                    .maximum = 2,
                    .meaning = "The template's caption: 0 before the photo's, 1 replaces it, 2 after it"});
    keys.push_back(
        {.name = kPrefIPTCStationeryPadDateStyle,
         .type = PreferenceType::Integer,
         .defaultNumber = kPrefIPTCStationeryPadDateStyleDefault,
         .minimum = 0,
         .maximum = 2,
         .meaning = "The date the template applies: 0 its own, 1 the capture date, 2 the date of applying"});
    keys.push_back({.name = kPrefIPTCSnapshots,
                    .type = PreferenceType::List,
                    .meaning = "The metadata snapshots: objects with Name and XMP"});
    for (const auto& [key, what] :
         {std::pair{kPrefCatCaptions, "captions"}, std::pair{kPrefCatKeywords, "keywords"},
          std::pair{kPrefCatCities, "cities"}, std::pair{kPrefCatCopyrights, "copyrights"},
          std::pair{kPrefCatPhotographers, "photographers"}})
        for (const char* suffix : {"", "_MIL"})
            keys.push_back({.name = std::string(key) + suffix,
                            .type = PreferenceType::List,
                            .meaning = std::string("The template's last ") + what +
                                       (*suffix ? " (USA Military layout)" : "") +
                                       ", newest first: objects with Value"});
    // Copy/move.
    keys.push_back({.name = kPrefCopyDestinationType,
                    .type = PreferenceType::Integer,
                    .defaultNumber = kPrefCopyDestinationTypeDefault,
                    .minimum = 0,
                    .maximum = 3,
                    .meaning =
                        "Where copies go: 0 the picked folder, 1 a subfolder of the photo's folder, 2 a "
                        "folder under a root folder, 3 the photo's own folder"});
    keys.push_back({.name = kPrefCopyLastDestPath,
                    .type = PreferenceType::Text,
                    .meaning = "The folder copies go to (destination 0)"});
    keys.push_back({.name = kPrefCopyCreateSubfolderPath,
                    .type = PreferenceType::Text,
                    .meaning = "The subfolder made in each photo's folder (destination 1; {variables})"});
    keys.push_back({.name = kPrefCopyToParentFolderPath,
                    .type = PreferenceType::Text,
                    .meaning = "The root folder of destination 2"});
    keys.push_back({.name = kPrefCopyToFolderPath,
                    .type = PreferenceType::Text,
                    .meaning = "The folder made under the root folder (destination 2; {variables})"});
    keys.push_back({.name = kPrefCopyApplyIPTC,
                    .type = PreferenceType::Boolean,
                    .meaning = "Copies get the current metadata template applied"});
    keys.push_back({.name = kPrefCopyRenameCopiedFiles,
                    .type = PreferenceType::Boolean,
                    .meaning = "Copies are named by the naming template"});
    keys.push_back({.name = kPrefCopyMoveFiles,
                    .type = PreferenceType::Boolean,
                    .meaning = "Photos are moved instead of copied"});
    keys.push_back({.name = kPrefCopyClearMoveSetting,
                    .type = PreferenceType::Boolean,
                    .meaning = "Moving is turned off again after each use"});
    keys.push_back({.name = kPrefCopyOverwriteFiles,
                    .type = PreferenceType::Boolean,
                    .meaning = "Copies replace files of the same name at the destination"});
    keys.push_back({.name = kPrefCopyClearOverwriteSetting,
                    .type = PreferenceType::Boolean,
                    .meaning = "Overwriting is turned off again after each use"});
    keys.push_back({.name = kPrefCopyOpenDestination,
                    .type = PreferenceType::Boolean,
                    .meaning = "The destination folders are opened when the copy is done"});
    keys.push_back({.name = kPrefCopyWaveFiles,
                    .type = PreferenceType::Boolean,
                    .meaning = "Each photo's sound file goes along"});
    // Rename photos.
    keys.push_back({.name = kPrefRenameString,
                    .type = PreferenceType::Text,
                    .meaning = "The naming template rename photos used last ({variables})"});
    keys.push_back({.name = kPrefRenameDialogSettings,
                    .type = PreferenceType::Text,
                    .meaning = "The rename dialog's size and place (kept by the window)"});
    // Save as.
    keys.push_back({.name = kPrefSaveAsSettings,
                    .type = PreferenceType::Object,
                    .meaning = "Save As: the last options used (SaveAsType, ScaleType, JpegQuality100 ...)"});
    keys.push_back({.name = kPrefSaveAsLastDestPath,
                    .type = PreferenceType::Text,
                    .meaning = "Save As: the destination folder last picked"});
    keys.push_back({.name = kPrefSaveAsDialogSettings,
                    .type = PreferenceType::Text,
                    .meaning = "Save As: the dialog's size and place (kept by the dialog)"});
    // Copy/move ("rc", second round).
    keys.push_back(
        {.name = kPrefCopyOptionsSettings,
         .type = PreferenceType::Object,
         .meaning = "Copy/Move: the dialog's settings snapshot (DestinationType, MovePhotosCheckbox ...)"});
    // Ingest ("ingest").
    keys.push_back({.name = kPrefIngestDisks,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: the sources are the selected volumes"});
    keys.push_back({.name = kPrefIngestFolders,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: the sources are the user's folders (IngestUserFolders)"});
    keys.push_back({.name = kPrefIngestUserFolders,
                    .type = PreferenceType::Text,
                    .meaning = "Ingest: the source folders last chosen (one per line)"});
    keys.push_back({.name = kPrefIngestSelection,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: the source is the selection of the frontmost contact sheet"});
    keys.push_back({.name = kPrefIngestPrimaryDestPath,
                    .type = PreferenceType::Text,
                    .meaning = "Ingest: the primary destination folder"});
    keys.push_back({.name = kPrefIngestSecondaryDestPathEnabled,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: copy to the secondary destination too"});
    keys.push_back({.name = kPrefIngestSecondaryDestPath,
                    .type = PreferenceType::Text,
                    .meaning = "Ingest: the secondary (backup) destination folder"});
    keys.push_back(
        {.name = kPrefIngestCopyPhotos,
         .type = PreferenceType::Integer,
         .minimum = 0,
         .maximum = 3,
         .meaning =
             "Ingest: folder layout (0 direct, 1 dated folder, 2 folder with name, 3 dated then named)"});
    keys.push_back({.name = kPrefIngestDestFolderNameString,
                    .type = PreferenceType::Text,
                    .meaning = "Ingest: the template of the dated folder / folder with name ({variables})"});
    keys.push_back({.name = kPrefIngestAutoIncSuffix,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: the folder with name gets an increasing suffix"});
    keys.push_back({.name = kPrefIngestAutoIncSuffixName,
                    .type = PreferenceType::Text,
                    .meaning = "Ingest: the base name of the increasing suffix ((undefined) when unset)"});
    keys.push_back({.name = kPrefIngestMergeDisksCheck,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: several sources go into the same destination"});
    keys.push_back({.name = kPrefIngestSourceDirStructure,
                    .type = PreferenceType::Integer,
                    .minimum = 0,
                    .maximum = 2,
                    .meaning = "Ingest: source folders kept (0 ignore, 1 folder names only, 2 all)"});
    keys.push_back({.name = kPrefIngestFilterLocked,
                    .type = PreferenceType::Integer,
                    .minimum = 0,
                    .maximum = 2,
                    .meaning = "Ingest: 0 locked and unlocked, 1 locked only, 2 unlocked only"});
    keys.push_back({.name = kPrefIngestFilterRaw,
                    .type = PreferenceType::Integer,
                    .minimum = 0,
                    .maximum = 2,
                    .meaning = "Ingest: 0 raw and non-raw, 1 raw only, 2 non-raw only"});
    keys.push_back({.name = kPrefIngestIncremental,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: skip files copied by an earlier ingest"});
    keys.push_back({.name = kPrefIngestRenameCheck,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: name the copies by the naming template"});
    keys.push_back({.name = kPrefIngestRenameEdit,
                    .type = PreferenceType::Text,
                    .meaning = "Ingest: the naming template ({variables})"});
    keys.push_back({.name = kPrefIngestUseSeqnCheck,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: the folder name holds the ingest sequence"});
    keys.push_back({.name = kPrefIngestApplyIPTCStationeryPad,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: apply a metadata template to the copies"});
    keys.push_back({.name = kPrefIngestIPTCStationeryPadData,
                    .type = PreferenceType::Text,
                    .meaning = "Ingest: the ingest's own metadata template (its file)"});
    keys.push_back({.name = kPrefIngestIPTCUseLocal,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: apply the ingest's own template"});
    keys.push_back({.name = kPrefIngestIPTCUseGlobal,
                    .type = PreferenceType::Boolean,
                    .defaultNumber = 1,
                    .meaning = "Ingest: apply the current (global) template"});
    keys.push_back({.name = kPrefIngestUnmountDisks,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: unmount the source volumes when done"});
    keys.push_back(
        {.name = kPrefIngestReformatDisks,
         .type = PreferenceType::Boolean,
         .meaning = "Ingest: erase the source camera cards when done (only when every file verified)"});
    keys.push_back({.name = kPrefIngestOpenContactSheetsCombo,
                    .type = PreferenceType::Integer,
                    .defaultNumber = 2,
                    .minimum = 0,
                    .maximum = 2,
                    .meaning = "Ingest: 0 open contact sheets during, 1 after, 2 never"});
    keys.push_back({.name = kPrefIngestOpenContactSheetsInBackground,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: open the contact sheets in the background"});
    keys.push_back({.name = kPrefIngestAutoIngestCheck,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: start by itself when a camera card is mounted"});
    keys.push_back({.name = kPrefIngestAutoCatalogCheck,
                    .type = PreferenceType::Boolean,
                    .meaning = "Ingest: add the ingested photos to the catalog"});
    keys.push_back(
        {.name = kPrefIngestSettings,
         .type = PreferenceType::Object,
         .meaning = "Ingest: the dialog's settings snapshot (SerializedState, IPTCStationeryPadData)"});
    keys.push_back({.name = kPrefIngestDialogSettings,
                    .type = PreferenceType::Text,
                    .meaning = "Ingest: the dialog's size and place (kept by the dialog)"});
    // Live ingest (its snapshots are kept under kPrefLiveIngestSnapshotPrefix + name).
    keys.push_back({.name = kPrefLiveIngestSettings,
                    .type = PreferenceType::Object,
                    .meaning = "Live Ingest: the last task (source_paths, dest_specs, rename_string ...)"});
    // FTP uploads: the saved connections.
    keys.push_back(
        {.name = kPrefFTPConnections,
         .type = PreferenceType::List,
         .meaning = "FTP: the saved connections (settingsName, ftpServer, ftpPort, username ...)"});
    // Send photos by e-mail: the attachments, the message, how it goes, the SMTP account.
    keys.push_back(
        {.name = kPrefSendPhotosImageRadioValue,
         .type = PreferenceType::Integer,
         .defaultNumber = 2,
         .minimum = 0,
         .maximum = 3,
         .meaning = "Send photos: size of the attachments, 0 full size, 1 percentage, 2 box, 3 custom"});
    keys.push_back({.name = kPrefSendPhotosScalePercentage,
                    .type = PreferenceType::Integer,
                    .defaultNumber = 50,
                    .minimum = 1,
                    .maximum = 1000,
                    .meaning = "Send photos: the percentage for size choice 1"});
    keys.push_back({.name = kPrefSendPhotosCustomWidth,
                    .type = PreferenceType::Integer,
                    .defaultNumber = 1024,
                    .minimum = 1,
                    .maximum = 65535,
                    .meaning = "Send photos: the width for size choice 3"});
    keys.push_back({.name = kPrefSendPhotosCustomHeight,
                    .type = PreferenceType::Integer,
                    .defaultNumber = 768,
                    .minimum = 1,
                    .maximum = 65535,
                    .meaning = "Send photos: the height for size choice 3"});
    keys.push_back({.name = kPrefSendPhotosBoxSize,
                    .type = PreferenceType::Integer,
                    .defaultNumber = 1024,
                    .minimum = 1,
                    .maximum = 65535,
                    .meaning = "Send photos: the long side for size choice 2, pixels"});
    keys.push_back({.name = kPrefSendPhotosJPEGQuality,
                    .type = PreferenceType::Integer,
                    .defaultNumber = 85,
                    .minimum = 1,
                    .maximum = 100,
                    .meaning = "Send photos: JPEG quality of the attachments"});
    keys.push_back({.name = kPrefSendPhotosMinJPEGQuality,
                    .type = PreferenceType::Integer,
                    .defaultNumber = 30,
                    .minimum = 1,
                    .maximum = 100,
                    .meaning = "Send photos: the lowest JPEG quality the size limit may use"});
    keys.push_back({.name = kPrefSendPhotosLimitJPEGActive,
                    .type = PreferenceType::Boolean,
                    .meaning = "Send photos: keep each attachment below SendPhotosLimitJPEGSize"});
    keys.push_back({.name = kPrefSendPhotosLimitJPEGSize,
                    .type = PreferenceType::Integer,
                    .defaultNumber = 500,
                    .minimum = 1,
                    .maximum = 1073741824,
                    .meaning = "Send photos: the size limit of each attachment, KB"});
    keys.push_back({.name = kPrefSendPhotosSubsampleChroma,
                    .type = PreferenceType::Boolean,
                    .defaultNumber = 1,
                    .meaning = "Send photos: JPEG chroma subsampling 4:2:0 (else 4:4:4)"});
    keys.push_back({.name = kPrefSendPhotosApplyCrop,
                    .type = PreferenceType::Boolean,
                    .meaning = "Send photos: apply each photo\'s crop"});
    keys.push_back({.name = kPrefSendPhotosSharpen,
                    .type = PreferenceType::Boolean,
                    .meaning = "Send photos: sharpen after scaling"});
    keys.push_back({.name = kPrefSendPhotosConvertToSRGB,
                    .type = PreferenceType::Boolean,
                    .defaultNumber = 1,
                    .meaning = "Send photos: convert the colours to sRGB"});
    keys.push_back({.name = kPrefSendPhotosPreserveExif,
                    .type = PreferenceType::Boolean,
                    .defaultNumber = 1,
                    .meaning = "Send photos: keep the camera\'s EXIF in the attachments"});
    keys.push_back({.name = kPrefSendPhotosWatermark,
                    .type = PreferenceType::Boolean,
                    .meaning = "Send photos: lay the watermark over the attachments"});
    keys.push_back({.name = kPrefSendPhotosWatermarkSettings,
                    .type = PreferenceType::Object,
                    .meaning = "Send photos: the watermark (image, text, opacity)"});
    keys.push_back({.name = kPrefSendPhotosTo,
                    .type = PreferenceType::Text,
                    .defaultText = "",
                    .meaning = "Send photos: the To addresses (separated by commas, semicolons or lines)"});
    keys.push_back({.name = kPrefSendPhotosCC,
                    .type = PreferenceType::Text,
                    .defaultText = "",
                    .meaning = "Send photos: the Cc addresses"});
    keys.push_back({.name = kPrefSendPhotosBCC,
                    .type = PreferenceType::Text,
                    .defaultText = "",
                    .meaning = "Send photos: the Bcc addresses (never in the message\'s headers)"});
    keys.push_back({.name = kPrefSendPhotosSubject,
                    .type = PreferenceType::Text,
                    .defaultText = "",
                    .meaning = "Send photos: the subject"});
    keys.push_back({.name = kPrefSendPhotosBody,
                    .type = PreferenceType::Text,
                    .defaultText = "",
                    .meaning = "Send photos: the message text"});
    keys.push_back({.name = kPrefSendPhotosReviewEmailBeforeSending,
                    .type = PreferenceType::Boolean,
                    .defaultNumber = 1,
                    .meaning = "Send photos: show each message in the mail program first"});
    keys.push_back({.name = kPrefSendPhotosAsSeparateEmails,
                    .type = PreferenceType::Boolean,
                    .meaning = "Send photos: one message per photo"});
    keys.push_back({.name = kPrefSendPhotosViaMAPI,
                    .type = PreferenceType::Boolean,
                    .defaultNumber = 1,
                    .meaning = "Send photos: through the mail program (xdg-email), else by SMTP"});
    keys.push_back({.name = kPrefSendPhotosSMTPFrom,
                    .type = PreferenceType::Text,
                    .defaultText = "",
                    .meaning = "Send photos: SMTP sender address"});
    keys.push_back({.name = kPrefSendPhotosSMTPUser,
                    .type = PreferenceType::Text,
                    .defaultText = "",
                    .meaning = "Send photos: SMTP login name (empty: the sender address)"});
    keys.push_back({.name = kPrefSendPhotosSMTPPassword,
                    .type = PreferenceType::Text,
                    .defaultText = "",
                    .meaning = "Send photos: SMTP password (the preferences file is then made private)"});
    keys.push_back({.name = kPrefSendPhotosSMTPServer,
                    .type = PreferenceType::Text,
                    .defaultText = "",
                    .meaning = "Send photos: SMTP server host name"});
    keys.push_back({.name = kPrefSendPhotosSMTPPort,
                    .type = PreferenceType::Integer,
                    .defaultNumber = 587,
                    .minimum = 1,
                    .maximum = 65535,
                    .meaning = "Send photos: SMTP server port"});
    keys.push_back({.name = kPrefSendPhotosSMTPReplyTo,
                    .type = PreferenceType::Text,
                    .defaultText = "",
                    .meaning = "Send photos: Reply-To address"});
    keys.push_back({.name = kPrefSendPhotosSMTPRequireTLS,
                    .type = PreferenceType::Boolean,
                    .meaning = "Send photos: refuse a server that does not offer STARTTLS"});
    keys.push_back(
        {.name = kPrefSendPhotosSMTPCAFile,
         .type = PreferenceType::Text,
         .defaultText = "",
         .meaning = "Send photos: PEM file of certificates to trust for the server (empty: the system\'s)"});
    keys.push_back({.name = kPrefSendPhotosDialogSettings,
                    .type = PreferenceType::Text,
                    .defaultText = "",
                    .meaning = "Send photos: the dialog\'s size and place (kept by the dialog)"});
    keys.push_back(
        {.name = kPrefSendPhotosSettings,
         .type = PreferenceType::Object,
         .meaning = "Send photos: the dialog\'s settings snapshot (ImageSizeRadio, RecipientsTo ...)"});
    // Importing GPS coordinates from track logs.
    keys.push_back({.name = kPrefImportGPSDaysDelta,
                    .type = PreferenceType::Integer,
                    .minimum = -3650,
                    .maximum = 3650,
                    .meaning = "GPS import: the camera clock's offset from UTC, days"});
    keys.push_back({.name = kPrefImportGPSHoursDelta,
                    .type = PreferenceType::Integer,
                    .minimum = -23,
                    .maximum = 23,
                    .meaning = "GPS import: the camera clock's offset from UTC, hours"});
    keys.push_back({.name = kPrefImportGPSMinutesDelta,
                    .type = PreferenceType::Integer,
                    .minimum = -59,
                    .maximum = 59,
                    .meaning = "GPS import: the camera clock's offset from UTC, minutes"});
    keys.push_back({.name = kPrefImportGPSSecondsDelta,
                    .type = PreferenceType::Integer,
                    .minimum = -59,
                    .maximum = 59,
                    .meaning = "GPS import: the camera clock's offset from UTC, seconds"});
    keys.push_back({.name = kPrefImportGPSMatchRange,
                    .type = PreferenceType::Integer,
                    .defaultNumber = 5,
                    .minimum = 0,
                    .maximum = 1440,
                    .meaning = "GPS import: how far (minutes) a log point may be from a photo's time"});
    keys.push_back({.name = kPrefImportGPSAllowGapMatches,
                    .type = PreferenceType::Boolean,
                    .meaning = "GPS import: match photos taken in a gap of the log (up to a day)"});
    keys.push_back({.name = kPrefImportGPSOverwriteExisting,
                    .type = PreferenceType::Boolean,
                    .meaning = "GPS import: replace the position a photo already has"});
    keys.push_back({.name = kPrefImportGPSReverseGeocode,
                    .type = PreferenceType::Boolean,
                    .meaning = "GPS import: look up the place names of the matched photos"});
    keys.push_back({.name = kPrefImportGPSPlotGranularity,
                    .type = PreferenceType::Integer,
                    .defaultNumber = 1,
                    .minimum = 1,
                    .maximum = 1000,
                    .meaning = "GPS import: draw every n-th point of the track on the map"});
    // Reverse geocoding.
    keys.push_back(
        {.name = kPrefReverseGeocodeSettings,
         .type = PreferenceType::Object,
         .meaning = "Reverse geocoding: the fields a place is written to (ApplyCity ... NeverOverwrite)"});
    keys.push_back({.name = kPrefReverseGeocodeServer,
                    .type = PreferenceType::Text,
                    .meaning = "Reverse geocoding: the online service's URL; empty: the offline gazetteer"});
    return keys;
}

} // namespace

const std::vector<PreferenceKey>& knownPreferenceKeys() {
    static const std::vector<PreferenceKey> keys = makeKeys();
    return keys;
}

const PreferenceKey* findPreferenceKey(std::string_view name) {
    const std::vector<PreferenceKey>& keys = knownPreferenceKeys();
    const auto found =
        std::find_if(keys.begin(), keys.end(), [&](const PreferenceKey& k) { return k.name == name; });
    return found == keys.end() ? nullptr : &*found;
}

const char* preferenceTypeName(PreferenceType type) {
    switch (type) {
    case PreferenceType::Boolean:
        return "boolean";
    case PreferenceType::Integer:
        return "integer";
    case PreferenceType::List:
        return "list";
    case PreferenceType::Object:
        return "object";
    case PreferenceType::Text:
        break;
    }
    return "text";
}

CILA::VObject preferenceDefault(const PreferenceKey& key) {
    switch (key.type) {
    case PreferenceType::Boolean:
        return CILA::VObject(key.defaultNumber != 0);
    case PreferenceType::Integer:
        return CILA::VObject(key.defaultNumber);
    case PreferenceType::List:
        return CILA::VObject::makeVector();
    case PreferenceType::Object:
        return CILA::VObject::makeHash();
    case PreferenceType::Text:
        break;
    }
    return CILA::VObject(key.defaultText);
}

std::string preferenceValueProblem(const PreferenceKey& key, const CILA::VObject& value) {
    switch (key.type) {
    case PreferenceType::Boolean:
        return value.dataType() == CILA::VObject::DT_BOOL ? std::string() : "takes true or false";
    case PreferenceType::Integer:
        if (value.dataType() == CILA::VObject::DT_INTEGER && value.getint() >= key.minimum &&
            value.getint() <= key.maximum)
            return {};
        return "takes a whole number from " + std::to_string(key.minimum) + " to " +
               std::to_string(key.maximum);
    case PreferenceType::List: {
        const bool objects =
            value.dataType() == CILA::VObject::DT_VECTOR &&
            std::all_of(value.getvec().begin(), value.getvec().end(), [](const CILA::VObject& entry) {
                return entry.dataType() == CILA::VObject::DT_HASH;
            });
        return objects ? std::string() : "takes a list of objects (as JSON: [{...}, ...])";
    }
    case PreferenceType::Object:
        return value.dataType() == CILA::VObject::DT_HASH ? std::string()
                                                          : "takes an object (as JSON: {...})";
    case PreferenceType::Text:
        break;
    }
    if (value.dataType() != CILA::VObject::DT_STR)
        return "takes text (as JSON: \"...\")";
    if (key.name == kPrefCodeReplacementsDelimiter && !isCodeDelimiter(value.getstr()))
        return "takes one character other than { and } (they are reserved for variables)";
    return {};
}
