#pragma once

// The metadata template: one record in template mode that the user fills once and applies to many
// photos. For each field the record says whether to apply it and, for list and structure fields,
// whether to merge with the photo's own value. Texts may hold variables, expanded per photo when the
// template is applied. The same apply logic serves snapshots and the operations that apply a template
// while copying or ingesting.

#include "metadata/IPTCRec.h"
#include "metadata/IPTCUtils.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct VariableContext;

// Caption merge styles.
enum : int {
    kCaptionMergeBefore = 0,  // the template's caption, then the photo's
    kCaptionMergeReplace = 1, // the template's caption only
    kCaptionMergeAppend = 2,  // the photo's caption, then the template's
};
// Placed between the two captions when they are merged.
inline constexpr char kCaptionMergeSeparator[] = " ";

// Date apply types: which date an applied Date Created (and Time Created) takes.
enum : int {
    kStationeryDateTemplate = 0, // the template's own date and time
    kStationeryDateCapture = 1,  // the photo's capture date and time (left alone when it has none)
    kStationeryDateCurrent = 2,  // the date and time of applying
};

// The dates a caller knows of the photo the template is applied to.
struct StationeryDateInfo {
    // The photo's capture date and time, in its local time, when known.
    struct LocalDateTime {
        int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    };
    std::optional<LocalDateTime> capture;
    // The moment of applying (the current date type).
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
};

// Error codes of IPTCApplyStationery beyond the IPTC ones: a field holds a variable naming itself.
inline constexpr int kStationeryErrSelfVariable = 0x3010;

// The current template as the settings keep it (false: none saved yet).
bool IPTCLoadCurrentStationery(IPTCRec& stationery);
// Keeps `stationery` as the current template; false when the settings could not store it.
bool IPTCSaveCurrentStationery(const IPTCRec& stationery);

// The self-variable check: empty when the template may be applied, otherwise the message telling which
// field holds its own variable.
std::string IPTCCheckStationerySelfVariables(const IPTCRec& stationery);

// Applies the template to `target` in place, expanding variables for the photo
// at `path`; 0 or an error code with `message` set.
int IPTCApplyStationery(const IPTCRec& stationery, IPTCRec& target, const StationeryDateInfo& date,
                        const std::string& path, std::string* message = nullptr);
// The same with the caller's variable context (sequence number, index, image record); the context's
// record is replaced by the photo's old record while expanding.
int IPTCApplyStationery(const IPTCRec& stationery, IPTCRec& target, const StationeryDateInfo& date,
                        const VariableContext& context, std::string* message = nullptr);

class NRFImageInfoRec;

// The date information of a photo for applying a template: its capture time, when it has one.
StationeryDateInfo StationeryDateInfoFor(const NRFImageInfoRec* image);
// Applies the template to `metadata`, the metadata of the photo of `image` (may be null), with the
// caller's variable context; a template that sets nothing leaves the metadata as it is. False, with
// the reason for the user in `error`, when the template could not be applied.
bool IPTCApplyStationeryToPhoto(const IPTCRec& stationery, IPTCRec& metadata, const NRFImageInfoRec* image,
                                const VariableContext& context, std::string* error);

// Whether any applied field uses the sequence variable (so that the sequence is advanced per photo).
bool IPTCHaveSequenceVar(const IPTCRec& stationery);
// Whether any reverse-geocoding apply flag is set.
bool IPTCHaveReverseGeocoding(const IPTCRec& stationery);

// -- reverse geocoding

// The order of the template's reverse-geocoding apply flags.
enum : std::size_t {
    kGeocodeCity = 0,
    kGeocodeSublocation,
    kGeocodeState,
    kGeocodeCountry,
    kGeocodeCountryCode,
    kGeocodeCreatedSublocation,
    kGeocodeCreatedCity,
    kGeocodeCreatedState,
    kGeocodeCreatedCountry,
    kGeocodeCreatedCountryCode,
    kGeocodeLocationShown,
    kGeocodeNeverOverwrite,
};

// Fills the targets the template flags from `location` (the place at the photo's GPS position): City,
// Sublocation, State/Province, Country and Country Code, the members of the first Location Created (made
// when the photo has none), and the place added once to Locations Shown. With "never overwrite" flagged,
// a target that holds a value keeps it.
void IPTCApplyReverseGeocoding(const IPTCRec& stationery, IPTCRec& target, const IPTCLocation& location);

// The place at a photo's GPS position; nullopt when it cannot be found.
using ReverseGeocoder = std::function<std::optional<IPTCLocation>(const NRFImageInfoRec& image)>;
// Installs the geocoder (an empty function removes it); returns the one it replaces.
ReverseGeocoder IPTCSetReverseGeocoder(ReverseGeocoder geocoder);
// Looks the photo's place up with the installed geocoder; nullopt without one, without a GPS position
// or when the lookup fails.
std::optional<IPTCLocation> IPTCReverseGeocode(const NRFImageInfoRec& image);
// True while a geocoder is installed.
bool IPTCHaveReverseGeocoder();
// Whether the installed geocoder finds the place of every photo that has a GPS position (photos without
// one need none); false without a geocoder. A run that applies a template asks this before its first
// photo.
bool IPTCReverseGeocodeAll(const std::vector<const NRFImageInfoRec*>& images);
// The same for photos given by path (a file that cannot be read has no position to look up).
bool IPTCReverseGeocodePaths(const std::vector<std::string>& paths);

// -- template files

// The default name of a saved template.
inline constexpr char kStationeryFileName[] = "Lumo_Metadata.XMP";
// Writes the template as an XMP file with its template properties (the file is replaced whole or left
// as it was); 0 or an errno value (or an IPTC error code) with `message` set.
int IPTCSaveStationeryFile(const IPTCRec& stationery, const std::string& path,
                           std::string* message = nullptr);
// Reads a template from an XMP file or a raw IIM block file; every field the file holds is set to
// apply. 0 or an error code with `message` set.
int IPTCLoadStationeryFile(const std::string& path, IPTCRec& stationery, std::string* message = nullptr);

// -- snapshots: named full records of one photo, kept in the settings

// "IPTC Snapshot %lu" with the first number from 1 that no snapshot uses.
std::string IPTCNextSnapshotName();
std::vector<std::string> IPTCSnapshotNames();
// Keeps `record` under `name` (replacing a snapshot of that name); false when the settings could not
// store it.
bool IPTCTakeSnapshot(const IPTCRec& record, const std::string& name);
// The snapshot as a template that replaces every field with the snapshot's; false when there is none
// of that name.
bool IPTCLoadSnapshot(const std::string& name, IPTCRec& stationery);
// A full record made into a template that replaces every field, the caption included.
void IPTCMakeReplacingStationery(IPTCRec& record);
