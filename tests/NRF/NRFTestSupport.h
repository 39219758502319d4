#pragma once

// What the engine's tests share beyond tests/support.

#include <string>

class NRFImageInfoRec;

namespace lumo::test {

// The EXIF block of a JPEG or .exv file's bytes (the first "Exif\0\0" followed by a TIFF header) read
// as the JPEG reader reads it: IFD0, the EXIF IFD with its maker note. False when there is none.
bool readExifBlock(const std::string& path, const std::string& bytes, NRFImageInfoRec& record);

} // namespace lumo::test
