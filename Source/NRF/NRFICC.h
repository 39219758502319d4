#pragma once

// Colour profiles: the profile a file embeds (JPEG APP2 chunks, the TIFF tag, the Photoshop resource,
// PNG's iCCP chunk, GIF's application extension, HEIF's colour box), the engine's built-in profiles for
// the record's colour-space codes, and conversion of bitmaps to sRGB through Little CMS.

#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFPlugin.h"

#include <cstdint>
#include <string>

class NRFImageInfoRec;

// Record colour-space codes.
enum : std::uint16_t {
    kNRFColorSpaceEmbedded = 1,
    kNRFColorSpaceSRGB = 2,
    kNRFColorSpaceAdobeRGB = 3,
};

// Builds the built-in profiles once (NRFInit's "initializing ICC profiles" stage). 0 or 8.
NRFErr NRFICCInitProfiles();

// The bytes of the built-in profile for a colour-space code (2 sRGB, 3 Adobe RGB); empty for other codes.
const std::string& NRFICCBuiltInProfile(std::uint16_t colorSpaceCode);

// Reads the profile the record's file embeds, at the locations its reader recorded. 0; 13 when the
// record holds none; 5 when the file cannot be read; 9 when the recorded bytes are not a profile.
NRFErr NRFICCReadEmbeddedProfile(const NRFImageInfoRec& record, std::string& profile);

// The reader entry LoadICCProfile of every row that can embed a profile: NRFICCReadEmbeddedProfile
// into args->iccProfile.
NRFErr NRFICCLoadProfileEntry(NRFContext& context, NRFImageInfoRec& record, NRFOperationArgs* args);

// The profile's description ("sRGB IEC61966-2.1"), empty when it has none or is not a profile.
std::string NRFICCProfileName(const std::string& profile);

// Converts a grey or RGB bitmap from `profile` to sRGB in place. A profile whose colour space does not
// match the bitmap (a CMYK profile over decoded RGB) is logged and leaves the bitmap alone. 0; 7; 9 for
// bytes Little CMS cannot read as a profile.
NRFErr NRFICCConvertToSRGB(const std::string& profile, NRFBitmapBase& bitmap);

// Converts an sRGB grey or RGB bitmap to `profile` (a display's) in place; the same results and the same
// leaving alone of a profile that does not suit the bitmap.
NRFErr NRFICCConvertFromSRGB(const std::string& profile, NRFBitmapBase& bitmap);

// Converts a bitmap decoded from the record's file to sRGB: from its embedded profile, else from the
// built-in profile of its colour-space code (which the EXIF colour space set); sRGB and unknown
// colours are left as they are. 0, 5, 7 or 9 as above.
NRFErr NRFICCConvertRecordBitmapToSRGB(const NRFImageInfoRec& record, NRFBitmapBase& bitmap);
