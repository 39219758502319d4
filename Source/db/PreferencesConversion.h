#pragma once

#include "archive/VObject.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

// The preferences file of earlier versions, "com.kestrellabs.Lumograph.prefs": an XML document whose
// root element is "LumoPreferencesRoot". Read into the keys of the preferences store as follows.
//
//   <LumoPreferencesRoot>
//     <SortCacheDays>30</SortCacheDays>                        "SortCacheDays" = 30
//     <Value name="Ingest Path" type="string">0123</Value>     "Ingest Path" = "0123"
//     <LumoAutoplay>                                           a section:
//       <ExePath>/usr/bin/lumo</ExePath>                       "LumoAutoplay/ExePath" = "/usr/bin/lumo"
//     </LumoAutoplay>
//   </LumoPreferencesRoot>
//
// - An element's name is its "name" attribute, else its "key" attribute, else the element's own name.
// - An element with element children is a section: its children are named "Section/Child" (sections
//   nest, up to kMaxSectionDepth deep; anything deeper is left out). Any other element is a value.
// - A value's type is its "type" attribute: "int"/"integer", "bool"/"boolean" (true/false, yes/no,
//   1/0), "double"/"real"/"float", "string". Without one, its text (trimmed) decides: an integer, then
//   a decimal number, then true/false, else the text is kept as a string as written. A value that does
//   not read as its stated type, or of an unknown type, is left out.
// - When a name comes twice the last one counts.
// Documents with a document type (and so possibly entities), over kMaxOlderPreferencesSize, or not
// well formed are refused whole.
inline constexpr char kOlderPreferencesFileName[] = "com.kestrellabs.Lumograph.prefs";
inline constexpr std::size_t kMaxOlderPreferencesSize = 16u << 20;
inline constexpr int kMaxSectionDepth = 8;

using PreferenceValues = std::vector<std::pair<std::string, CILA::VObject>>;

// The values of the document, in document order; nullopt when it is refused.
std::optional<PreferenceValues> readOlderPreferences(const std::string& text);
