#pragma once

// A record's fields as text, by catalogue label, for the command line and the editor.
//
// Forms:
// - a text field as it is; setting with `append` adds the text after a space;
// - a list field as its items joined by the separator; `append` adds the items not already there;
//   keywords take "a|b" or "a | b" for a hierarchy and keep "a | b";
// - a coded field as its label; setting also takes the stored form or the code number;
// - "Time and Date" as "YYYY-MM-DD[THH:MM:SS[+HH:MM]]"; colour class and rating as digits (a colour
//   class also by its name); "Max. Image Dimensions" as "WIDTHxHEIGHT";
// - structures as "Member=value; Member=value", structures separated by " | ", with "\\", "\;", "\|"
//   and "\=" escaping those characters in values; a list member joins its items with the separator
//   and a space; `append` adds the structures not already there. Member names are the XMP ones
//   without prefix (City, CountryName, LocationId, ImageCreatorName, LicensorCity, AOTitle,
//   ProductGTIN, RegOrgId...).
// Setting "" clears a field.

#include "metadata/IPTCCatalogue.h"
#include "metadata/IPTCRec.h"
#include "metadata/IPTCUtils.h"

#include <string>
#include <string_view>

bool IPTCGetFieldText(const IPTCRec& record, const IPTCCatalogueEntry& entry,
                      const IPTCEncodingSettings& settings, std::string& text);
// False with `error` set ("unknown member 'Town'", "not a date: ...") when the text does not fit the
// field; the record is then unchanged.
bool IPTCSetFieldText(IPTCRec& record, const IPTCCatalogueEntry& entry, const IPTCEncodingSettings& settings,
                      std::string_view text, bool append, std::string& error);
