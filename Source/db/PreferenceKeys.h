#pragma once

// The preferences the program reads, each with its type, its default and what it changes. Code that
// reads a preference takes its name and default from here; `lumo prefs` lists them and refuses to store
// a value of the wrong type under one of them.

#include "archive/VObject.h"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

// The folder of the image caches (thumbnails, previews, the sort cache); empty for the default.
inline constexpr char kPrefCachePath[] = "CachePath";
inline constexpr char kPrefSortCacheCheckDate[] = "SortCacheCheckDate";
inline constexpr bool kPrefSortCacheCheckDateDefault = false;
inline constexpr char kPrefSortCacheDays[] = "SortCacheDays";
inline constexpr std::int64_t kPrefSortCacheDaysDefault = 30;
// The most memory, in MiB, the image cache keeps bitmaps and image records in.
inline constexpr char kPrefImageCacheMaxMB[] = "ImageCacheMaxMB";
inline constexpr std::int64_t kPrefImageCacheMaxMBDefault = 512;
// The memory one picture decode may hold, in MiB: larger decodes are refused as out of memory.
inline constexpr char kPrefDecodeMemoryLimit[] = "DecodeMemoryLimit";
inline constexpr std::int64_t kPrefDecodeMemoryLimitDefault = 512;
inline constexpr std::int64_t kPrefDecodeMemoryLimitMinimum = 16;
inline constexpr std::int64_t kPrefDecodeMemoryLimitMaximum = 65536;
// IIM text: the character sets blocks are read and written in (names as "CP1252", "UTF-8"), the line
// breaks written in single fields (0 CR, 1 LF, 2 CR LF) and the one character joining list items. The
// separator's older name is read when the newer one is not set.
inline constexpr char kPrefIPTCReadEncoding[] = "IPTCXMP_DefaultIPTCReadEncoding";
inline constexpr char kPrefIPTCReadEncodingDefault[] = "CP1252";
inline constexpr char kPrefIPTCWriteEncoding[] = "IPTCXMP_DefaultIPTCWriteEncoding";
inline constexpr char kPrefIPTCWriteEncodingDefault[] = "CP1252";
inline constexpr char kPrefIPTCLineEndings[] = "IPTCLineEndings";
inline constexpr std::int64_t kPrefIPTCLineEndingsDefault = 0;
inline constexpr char kPrefIPTCRepeatingFieldSeparator[] = "IPTCXMP_RepeatingFieldSeparator";
inline constexpr char kPrefIPTCFieldSeparator[] = "IPTCFieldSeparator";
inline constexpr char kPrefIPTCFieldSeparatorDefault[] = ",";
// Where saved metadata goes: IIM besides the XMP in ordinary files; for raws the ".XMP" sidecar, the
// file's own metadata left alone, or XMP and IIM embedded; whether raw files may be modified at all.
inline constexpr char kPrefIPTCStandardAddIPTC[] = "IPTCXMP_StandardAddIPTC";
inline constexpr bool kPrefIPTCStandardAddIPTCDefault = true;
inline constexpr char kPrefIPTCRawAddXMPSidecar[] = "IPTCXMP_RawAddXMPSidecar";
inline constexpr bool kPrefIPTCRawAddXMPSidecarDefault = true;
inline constexpr char kPrefIPTCRawDontUpdateEmbedded[] = "IPTCXMP_RawDontUpdateEmbedded";
inline constexpr bool kPrefIPTCRawDontUpdateEmbeddedDefault = true;
inline constexpr char kPrefIPTCRawAddXMP[] = "IPTCXMP_RawAddXMP";
inline constexpr bool kPrefIPTCRawAddXMPDefault = false;
inline constexpr char kPrefIPTCRawAddIPTC[] = "IPTCXMP_RawAddIPTC";
inline constexpr bool kPrefIPTCRawAddIPTCDefault = false;
inline constexpr char kPrefAllowRawModification[] = "AllowRawModification";
inline constexpr bool kPrefAllowRawModificationDefault = false;
// XMP writing: xmp:Label written as the colour class's name; a colour class 1 to 8 also written as the
// urgency; keywords holding "|" kept out of dc:subject (only in lr:hierarchicalSubject).
inline constexpr char kPrefSynchColorClassAndLabel[] = "SynchColorClassAndLabel";
inline constexpr bool kPrefSynchColorClassAndLabelDefault = false;
inline constexpr char kPrefSynchColorClassAndUrgency[] = "SynchColorClassAndUrgency";
inline constexpr bool kPrefSynchColorClassAndUrgencyDefault = false;
inline constexpr char kPrefStructuredKeywordsHierarchicalOnly[] =
    "IPTCAddStructuredKeywordsToXMPHierarchicalFieldOnly";
inline constexpr bool kPrefStructuredKeywordsHierarchicalOnlyDefault = false;
// The names of colour classes 1 to 8: "ColorClass1Label" to "ColorClass8Label" (empty: the engine's).
inline constexpr char kPrefColorClassLabelFormat[] = "ColorClass%dLabel";
// The colours of colour classes 1 to 8: "ColorClass1Color" to "ColorClass8Color", each a text "#RRGGBB"
// or a number 0xRRGGBB (missing or unreadable: the window's own colour for the class).
inline constexpr char kPrefColorClassColorFormat[] = "ColorClass%dColor";
// Followed by a kind of attached file ("AttachedFiles/THM"); each is on by default.
inline constexpr char kPrefAttachedFilesPrefix[] = "AttachedFiles/";
// The fields the metadata tools work on, each a list of field identifiers joined by ",": clearing
// fields in the editor and in the template, the template's apply check boxes that clearing also clears, find,
// and find and replace. Empty: the tool's own choice.
inline constexpr char kPrefIPTCInfoClearFields[] = "IPTCInfoClearFields";
inline constexpr char kPrefIPTCStationeryClearFields[] = "IPTCStationeryClearFields";
inline constexpr char kPrefIPTCStationeryClearApplyCheckboxes[] = "IPTCStationeryClearApplyCheckboxes";
inline constexpr char kPrefIPTCFindFields[] = "IPTCFindFields";
inline constexpr char kPrefIPTCFindAndReplaceFields[] = "IPTCFindAndReplaceFields";
// Code replacements: the table files (one path a line, loaded in this order), the one character around a
// code ("{" and "}" are refused: they belong to variables) and the namespace codes are looked up in first.
inline constexpr char kPrefCodeReplacementsPaths[] = "CodeReplacementsPaths";
inline constexpr char kPrefCodeReplacementsDelimiter[] = "CodeReplacementsDelimiter";
inline constexpr char kPrefCodeReplacementsDelimiterDefault[] = "=";
inline constexpr char kPrefCodeReplacementsDefault[] = "CodeReplacementsDefault";
// The sequence counters the {sequence} and {ingestseq} variables show: the next number and the digits
// it is zero padded to. Operations take their numbers through ReserveSequenceNumbers (variables).
inline constexpr char kPrefSequenceNumber[] = "SequenceNumber";
inline constexpr char kPrefSequenceDigits[] = "SequenceDigits";
inline constexpr char kPrefIngestSequenceNumber[] = "IngestSequenceNumber";
inline constexpr char kPrefIngestSequenceDigits[] = "IngestSequenceDigits";
inline constexpr std::int64_t kPrefSequenceNumberDefault = 1;
inline constexpr std::int64_t kPrefSequenceNumberMaximum = 999999999999999;
inline constexpr std::int64_t kPrefSequenceDigitsDefault = 3;
inline constexpr std::int64_t kPrefIngestSequenceDigitsDefault = 4;
inline constexpr std::int64_t kPrefSequenceDigitsMaximum = 15;
// The contact sheet: the folder last opened as one (where opening a folder starts), and whether a new
// sheet shows a raw file and its JPEG, HEIF or HEIC partner as one item.
inline constexpr char kPrefLastContactSheetPath[] = "LastContactSheetPath";
inline constexpr char kPrefJoinRAWPlusJPEG[] = "JoinRAWPlusJPEG";
inline constexpr bool kPrefJoinRAWPlusJPEGDefault = true;
// The desktop window: its placement and the sheets open when it closed ("Documents": a list of the
// sheets' saved states, "ActiveDocument": the tab in front), and its panes and toolbar, restored at the
// next start.
inline constexpr char kPrefMDIStateWindowPlacement[] = "LUMO6_PLUS_MDI_STATE/WindowPlacement";
inline constexpr char kPrefSessionStatePanes[] = "SessionState/Panes";
inline constexpr char kPrefMDIStateDocuments[] = "LUMO6_PLUS_MDI_STATE/Documents";
inline constexpr char kPrefMDIStateActiveDocument[] = "LUMO6_PLUS_MDI_STATE/ActiveDocument";
// The folder pane's bookmarks, one folder a line; the contact sheets' thumbnail size in pixels and
// caption line (a {variable} template, empty for the file name).
inline constexpr char kPrefFolderPaneBookmarks[] = "FolderPaneBookmarks";
inline constexpr char kPrefContactSheetThumbnailSize[] = "ContactSheetThumbnailSize";
inline constexpr std::int64_t kPrefContactSheetThumbnailSizeDefault = 160;
inline constexpr std::int64_t kPrefContactSheetThumbnailSizeMinimum = 64;
inline constexpr std::int64_t kPrefContactSheetThumbnailSizeMaximum = 512;
inline constexpr char kPrefContactSheetCaptionTemplate[] = "ContactSheetCaptionTemplate";
// Contact sheets: files no reader takes (other than sidecars) are shown as proxy items, so that nothing
// a card holds goes unseen when photos are copied, sent or deleted.
inline constexpr char kPrefIncludeUnknownFilesAsProxies[] = "IncludeUnknownFilesAsProxies";
inline constexpr bool kPrefIncludeUnknownFilesAsProxiesDefault = true;

// Copying and renaming files: how a taken destination name is made free (0 letter, 1 digit, 2 always a
// digit, 3 two digits, 4 always two digits), the case given to extensions (0 lower, 1 upper, 2 and 3 the
// source's case, lower or upper when it has no letter) and whether a copy's time stamps follow the
// photo's capture time.
inline constexpr char kPrefRenameResolutionStyle[] = "RenameResolutionStyle";
inline constexpr std::int64_t kPrefRenameResolutionStyleDefault = 0;
inline constexpr char kPrefUseUppercaseExtensions[] = "UseUppercaseExtensions";
inline constexpr std::int64_t kPrefUseUppercaseExtensionsDefault = 2;
inline constexpr char kPrefUpdateCreationTimesDuringCopy[] = "UpdateCreationTimesDuringCopy";
inline constexpr bool kPrefUpdateCreationTimesDuringCopyDefault = false;

// Contact sheets: the sort type (0 capture time, 1 modification time, 2 file name, 3 colour class,
// 4 rating, 5 arrangement, 6 and above the custom sorts in order) and its direction (on: descending).
inline constexpr char kPrefContactSheetSortExtended[] = "ContactSheetSortExtended";
inline constexpr std::int64_t kPrefContactSheetSortExtendedDefault = 0;
inline constexpr char kPrefContactSheetSortReverse[] = "ContactSheetSortReverse";
inline constexpr bool kPrefContactSheetSortReverseDefault = false;
// The custom sorts: a list of objects, each with "Name", "PrimarySort" and "SecondarySort" (texts with
// {variables}) and "ReverseSecondaryCheckbox". Not set: the predefined custom sorts.
inline constexpr char kPrefCustomSortSettings[] = "CustomSortSettings";

// The preview: the ICC profile file of the screen its pictures are converted for; empty shows them as
// sRGB, as they are.
inline constexpr char kPrefDisplayICCProfile[] = "DisplayICCProfile";

// -- metadata template. The current template: its record as a template-mode IIM block (hex text) and
// as a template-mode XMP packet, the fields applied and merged (one "0" or "1" per field index), how the
// caption merges (0 before, 1 replace, 2 after the photo's) and which date is applied (0 the
// template's, 1 the capture date, 2 the date of applying). The snapshots: a list of objects, each with
// "Name" and "XMP" (the record as a template-mode packet).
inline constexpr char kPrefIPTCStationeryPadPackedRecord[] = "IPTCStationeryPadPackedRecord";
inline constexpr char kPrefIPTCStationeryPadXMP[] = "IPTCStationeryPadXMP";
inline constexpr char kPrefIPTCStationeryPadApplyFields[] = "IPTCStationeryPadApplyFields";
inline constexpr char kPrefIPTCStationeryPadMergeFields[] = "IPTCStationeryPadMergeFields";
inline constexpr char kPrefIPTCStationeryPadCaptionMergeStyle[] = "IPTCStationeryPadCaptionMergeStyle";
inline constexpr std::int64_t kPrefIPTCStationeryPadCaptionMergeStyleDefault = 0;
inline constexpr char kPrefIPTCStationeryPadDateStyle[] = "IPTCStationeryPadDateStyle";
inline constexpr std::int64_t kPrefIPTCStationeryPadDateStyleDefault = 0;
inline constexpr char kPrefIPTCSnapshots[] = "IPTCSnapshots";
// The values lately given to template fields, newest first: lists of objects with "Value"; the "USA
// Military" layout's lists add "_MIL" to the key.
inline constexpr char kPrefCatCaptions[] = "CAT_CAPTIONS";
inline constexpr char kPrefCatKeywords[] = "CAT_KEYWORDS";
inline constexpr char kPrefCatCities[] = "CAT_CITIES";
inline constexpr char kPrefCatCopyrights[] = "CAT_COPYRIGHTS";
inline constexpr char kPrefCatPhotographers[] = "CAT_PHOTOGRAPHERS";

// Copy/move (the copy options): where each photo goes (0 the picked folder, 1 a subfolder named by a
// template inside the photo's own folder, 2 a folder named by a template under a root folder, 3 the
// photo's own folder), the folders and templates of each type, and what the copy does.
inline constexpr char kPrefCopyDestinationType[] = "CopyDestinationType";
inline constexpr std::int64_t kPrefCopyDestinationTypeDefault = 0;
inline constexpr char kPrefCopyLastDestPath[] = "CopyLastDestPath";
inline constexpr char kPrefCopyCreateSubfolderPath[] = "CopyCreateSubfolderPath";
inline constexpr char kPrefCopyToParentFolderPath[] = "CopyToParentFolderPath";
inline constexpr char kPrefCopyToFolderPath[] = "CopyToFolderPath";
inline constexpr char kPrefCopyApplyIPTC[] = "CopyApplyIPTC";
inline constexpr char kPrefCopyRenameCopiedFiles[] = "CopyRenameCopiedFiles";
inline constexpr char kPrefCopyMoveFiles[] = "CopyMoveFiles";
inline constexpr char kPrefCopyClearMoveSetting[] = "CopyClearMoveSetting";
inline constexpr char kPrefCopyOverwriteFiles[] = "CopyOverwriteFiles";
inline constexpr char kPrefCopyClearOverwriteSetting[] = "CopyClearOverwriteSetting";
inline constexpr char kPrefCopyOpenDestination[] = "CopyOpenDestination";
inline constexpr char kPrefCopyWaveFiles[] = "CopyWaveFiles";
// Rename photos: the naming template kept between uses, and the dialog's window placement.
inline constexpr char kPrefRenameString[] = "RenameString";
inline constexpr char kPrefRenameDialogSettings[] = "RenameDialogSettings";

// Save as: the dialog's options as one object ("SaveAsType",
// "ScaleType", "JpegQuality100" ...: the names of its controls), the folder last picked and the dialog's
// placement.
inline constexpr char kPrefSaveAsSettings[] = "SaveAsSettings";
inline constexpr char kPrefSaveAsLastDestPath[] = "SaveAsLastDestPath";
inline constexpr char kPrefSaveAsDialogSettings[] = "SaveAsDialogSettings";

// Copy/move: the dialog's settings snapshot, one object named after its
// controls ("DestinationType", "MovePhotosCheckbox", "RenameString" ...).
inline constexpr char kPrefCopyOptionsSettings[] = "CopyOptionsSettings";

// Ingest: the ingest dialog's options, its settings snapshot and placement.
inline constexpr char kPrefIngestDisks[] = "IngestDisks";
inline constexpr char kPrefIngestFolders[] = "IngestFolders";
inline constexpr char kPrefIngestUserFolders[] = "IngestUserFolders";
inline constexpr char kPrefIngestSelection[] = "IngestSelection";
inline constexpr char kPrefIngestPrimaryDestPath[] = "IngestPrimaryDestPath";
inline constexpr char kPrefIngestSecondaryDestPathEnabled[] = "IngestSecondaryDestPathEnabled";
inline constexpr char kPrefIngestSecondaryDestPath[] = "IngestSecondaryDestPath";
inline constexpr char kPrefIngestCopyPhotos[] = "IngestCopyPhotos";
inline constexpr char kPrefIngestDestFolderNameString[] = "IngestDestFolderNameString";
inline constexpr char kPrefIngestAutoIncSuffix[] = "IngestAutoIncSuffix";
inline constexpr char kPrefIngestAutoIncSuffixName[] = "IngestAutoIncSuffixName";
inline constexpr char kPrefIngestMergeDisksCheck[] = "IngestMergeDisksCheck";
inline constexpr char kPrefIngestSourceDirStructure[] = "IngestSourceDirStructure";
inline constexpr char kPrefIngestFilterLocked[] = "IngestFilterLocked";
inline constexpr char kPrefIngestFilterRaw[] = "IngestFilterRaw";
inline constexpr char kPrefIngestIncremental[] = "IngestIncremental";
inline constexpr char kPrefIngestRenameCheck[] = "IngestRenameCheck";
inline constexpr char kPrefIngestRenameEdit[] = "IngestRenameEdit";
inline constexpr char kPrefIngestUseSeqnCheck[] = "IngestUseSeqnCheck";
inline constexpr char kPrefIngestApplyIPTCStationeryPad[] = "IngestApplyIPTCStationeryPad";
inline constexpr char kPrefIngestIPTCStationeryPadData[] = "IngestIPTCStationeryPadData";
inline constexpr char kPrefIngestIPTCUseLocal[] = "IngestIPTCUseLocal";
inline constexpr char kPrefIngestIPTCUseGlobal[] = "IngestIPTCUseGlobal";
inline constexpr char kPrefIngestUnmountDisks[] = "IngestUnmountDisks";
inline constexpr char kPrefIngestReformatDisks[] = "IngestReformatDisks";
inline constexpr char kPrefIngestOpenContactSheetsCombo[] = "IngestOpenContactSheetsCombo";
inline constexpr char kPrefIngestOpenContactSheetsInBackground[] = "IngestOpenContactSheetsInBackground";
inline constexpr char kPrefIngestAutoIngestCheck[] = "IngestAutoIngestCheck";
inline constexpr char kPrefIngestAutoCatalogCheck[] = "IngestAutoCatalogCheck";
inline constexpr char kPrefIngestSettings[] = "IngestSettings";
inline constexpr char kPrefIngestDialogSettings[] = "IngestDialogSettings";
// Live ingest: the task's last specification as one record ("source_paths",
// "dest_specs" ...), and its named snapshots, each under this prefix followed by the snapshot's name.
inline constexpr char kPrefLiveIngestSettings[] = "Live Ingest:Settings";
inline constexpr char kPrefLiveIngestSnapshotPrefix[] = "Live Ingest:Snapshot:";
// FTP uploads: the saved connections, one record each ("settingsName", "ftpServer", "ftpPort",
// "username", "password", "anonymousEnabled", "passiveEnabled", "uploadPath", "copyOptions",
// "autoincSuffixEnabled", "folderName", "autoincSuffix", "protocolType", "ftpsEnabled",
// "ftpsPinnedCertificate"). The passwords make the preferences file readable by its owner only.
inline constexpr char kPrefFTPConnections[] = "FTPConnections";
// Send photos by e-mail: the attachments' rendering, the message, how it goes (the mail program or
// SMTP through the catalog service) and the SMTP account; the dialog's snapshot and placement.
inline constexpr char kPrefSendPhotosImageRadioValue[] = "SendPhotosImageRadioValue";
inline constexpr char kPrefSendPhotosScalePercentage[] = "SendPhotosScalePercentage";
inline constexpr char kPrefSendPhotosCustomWidth[] = "SendPhotosCustomWidth";
inline constexpr char kPrefSendPhotosCustomHeight[] = "SendPhotosCustomHeight";
inline constexpr char kPrefSendPhotosBoxSize[] = "SendPhotosBoxSize";
inline constexpr char kPrefSendPhotosJPEGQuality[] = "SendPhotosJPEGQuality";
inline constexpr char kPrefSendPhotosMinJPEGQuality[] = "SendPhotosMinJPEGQuality";
inline constexpr char kPrefSendPhotosLimitJPEGActive[] = "SendPhotosLimitJPEGActive";
inline constexpr char kPrefSendPhotosLimitJPEGSize[] = "SendPhotosLimitJPEGSize";
inline constexpr char kPrefSendPhotosSubsampleChroma[] = "SendPhotosSubsampleChroma";
inline constexpr char kPrefSendPhotosApplyCrop[] = "SendPhotosApplyCrop";
inline constexpr char kPrefSendPhotosSharpen[] = "SendPhotosSharpen";
inline constexpr char kPrefSendPhotosConvertToSRGB[] = "SendPhotosConvertToSRGB";
inline constexpr char kPrefSendPhotosPreserveExif[] = "SendPhotosPreserveExif";
inline constexpr char kPrefSendPhotosWatermark[] = "SendPhotosWatermark";
inline constexpr char kPrefSendPhotosWatermarkSettings[] = "SendPhotosWatermarkSettings";
inline constexpr char kPrefSendPhotosTo[] = "SendPhotosTo";
inline constexpr char kPrefSendPhotosCC[] = "SendPhotosCC";
inline constexpr char kPrefSendPhotosBCC[] = "SendPhotosBCC";
inline constexpr char kPrefSendPhotosSubject[] = "SendPhotosSubject";
inline constexpr char kPrefSendPhotosBody[] = "SendPhotosBody";
inline constexpr char kPrefSendPhotosReviewEmailBeforeSending[] = "SendPhotosReviewEmailBeforeSending";
inline constexpr char kPrefSendPhotosAsSeparateEmails[] = "SendPhotosAsSeparateEmails";
inline constexpr char kPrefSendPhotosViaMAPI[] = "SendPhotosViaMAPI";
inline constexpr char kPrefSendPhotosSMTPFrom[] = "SendPhotosSMTPFrom";
inline constexpr char kPrefSendPhotosSMTPUser[] = "SendPhotosSMTPUser";
inline constexpr char kPrefSendPhotosSMTPPassword[] = "SendPhotosSMTPPassword";
inline constexpr char kPrefSendPhotosSMTPServer[] = "SendPhotosSMTPServer";
inline constexpr char kPrefSendPhotosSMTPPort[] = "SendPhotosSMTPPort";
inline constexpr char kPrefSendPhotosSMTPReplyTo[] = "SendPhotosSMTPReplyTo";
inline constexpr char kPrefSendPhotosSMTPRequireTLS[] = "SendPhotosSMTPRequireTLS";
inline constexpr char kPrefSendPhotosSMTPCAFile[] = "SendPhotosSMTPCAFile";
inline constexpr char kPrefSendPhotosDialogSettings[] = "SendPhotosDialogSettings";
inline constexpr char kPrefSendPhotosSettings[] = "SendPhotosSettings";
// Importing GPS coordinates from track logs: the camera's offset from UTC, the match range (minutes),
// gap matches, overwriting a photo's own position, geocoding the matched photos, the map's plotting.
inline constexpr char kPrefImportGPSDaysDelta[] = "ImportGPSCoordinatesDaysDelta";
inline constexpr char kPrefImportGPSHoursDelta[] = "ImportGPSCoordinatesHoursDelta";
inline constexpr char kPrefImportGPSMinutesDelta[] = "ImportGPSCoordinatesMinutesDelta";
inline constexpr char kPrefImportGPSSecondsDelta[] = "ImportGPSCoordinatesSecondsDelta";
inline constexpr char kPrefImportGPSMatchRange[] = "ImportGPSCoordinatesMatchRange";
inline constexpr char kPrefImportGPSAllowGapMatches[] = "ImportGPSCoordinatesAllowGapMatches";
inline constexpr char kPrefImportGPSOverwriteExisting[] = "ImportGPSCoordinatesOverwriteExisting";
inline constexpr char kPrefImportGPSReverseGeocode[] = "ImportGPSCoordinatesReverseGeocode";
inline constexpr char kPrefImportGPSPlotGranularity[] = "ImportGPSPlotGranularity";

// Reverse geocoding: the apply switches (one record of twelve booleans, "ApplyCity" ... "NeverOverwrite")
// and the online service asked instead of the offline gazetteer (empty: the gazetteer).
inline constexpr char kPrefReverseGeocodeSettings[] = "ReverseGeocodeSettings";
inline constexpr char kPrefReverseGeocodeServer[] = "ReverseGeocodeServer";

// List: a list of objects (a VObject vector of hashes). Object: one object (a hash).
enum class PreferenceType { Boolean, Integer, Text, List, Object };

struct PreferenceKey {
    std::string name;
    PreferenceType type = PreferenceType::Boolean;
    std::int64_t defaultNumber = 0;                                  // Boolean (0 or 1) and Integer
    std::string defaultText;                                         // Text
    std::int64_t minimum = std::numeric_limits<std::int64_t>::min(); // Integer
    std::int64_t maximum = std::numeric_limits<std::int64_t>::max();
    std::string meaning; // one line
};

// In the order `lumo prefs keys` shows them.
const std::vector<PreferenceKey>& knownPreferenceKeys();
// Null when the program reads no preference of that name (names are compared exactly).
const PreferenceKey* findPreferenceKey(std::string_view name);
// "boolean", "integer" or "text".
const char* preferenceTypeName(PreferenceType type);
CILA::VObject preferenceDefault(const PreferenceKey& key);
// Empty when `value` is one the key takes; otherwise what it takes, as the end of a sentence that
// starts with the key's name ("takes true or false").
std::string preferenceValueProblem(const PreferenceKey& key, const CILA::VObject& value);
