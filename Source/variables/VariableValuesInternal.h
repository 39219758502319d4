#pragma once

// The value families of VariableFamilyValue, each answering nullopt for a name that is not its own
// and "" when the photo lacks the value's source.

#include "variables/VariableExpander.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct IPTCEncodingSettings;
// The metadata text settings of the preferences, read again only when the preferences change.
std::shared_ptr<const IPTCEncodingSettings> VariablesEncodingSettings();

// The preferences holding the job, user and client records the variables read: "VariablesJobName"
// (used when the operation names no job) and "Variables/" followed by the variable's long name for
// each user and client field ("Variables/username", "Variables/clientcity").
inline constexpr char kPrefVariablesJobName[] = "VariablesJobName";
inline constexpr char kPrefVariablesPersonPrefix[] = "Variables/";
std::string VariablesPersonKey(std::string_view longName);

// The home location of the GPS settings ("GPSHomeLatitude", "GPSHomeLongitude", decimal degrees,
// north and east positive); "distance", "bearingto" and "bearingfrom" are empty while either is unset.
inline constexpr char kPrefGPSHomeLatitude[] = "GPSHomeLatitude";
inline constexpr char kPrefGPSHomeLongitude[] = "GPSHomeLongitude";

// Capture date and time (the camera's, else the file's creation time, else its modification time) and the
// file modification date and time (mod...).
std::optional<std::string> CaptureDateValue(const VariableContext& context, std::string_view name);
// Camera and image values, photo state and Nikon Picture Control.
std::optional<std::string> CameraValue(const VariableContext& context, std::string_view name, bool sortable);
// GPS values, and distance and bearings from the home location.
std::optional<std::string> PositionValue(const VariableContext& context, std::string_view name,
                                         bool sortable);
// The colour profile: name, gamma, primaries and white point.
std::optional<std::string> ColorProfileValue(const VariableContext& context, std::string_view name);
