#pragma once

// A record's fields as text, by catalogue label, for the command line and the editor.
//
// Forms: a text field as it is; a list field as its items joined by the separator (setting with
// `append` adds the items not already there); a coded field as its label (the stored form is accepted
// when setting, so is the number); "Time and Date" as "YYYY-MM-DD[THH:MM:SS[+HH:MM]]"; colour class,
// rating as digits; "Max. Image Dimensions" as "WIDTHxHEIGHT". Structures as "Member=value; Member=value"
// per structure and " | " between structures, with "\\", "\;", "\|" and "\=" escaping those characters
// in values; list members of a structure join their items with ", ". The member names are the XMP
// ones without prefix (City, CountryName, LocationId, ImageCreatorName, LicensorCity, AOTitle,
// ProductGTIN, RegOrgId...). Setting "" clears a field.

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
