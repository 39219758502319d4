#pragma once

// What the engine's tests share beyond tests/support.

#include "NRF/NRFDecode.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPlugin.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace lumo::test {

// The EXIF block of a JPEG or .exv file's bytes (the first "Exif\0\0" followed by a TIFF header) read
// as the JPEG reader reads it: IFD0, the EXIF IFD with its maker note. False when there is none.
bool readExifBlock(const std::string& path, const std::string& bytes, NRFImageInfoRec& record);

// The application log as far as it was written: the file part and what is still pending.
std::string wholeLog();

// What the application log received since the watch was made.
class LogWatch {
public:
    LogWatch() : m_start(wholeLog().size()) {}
    std::string text() const;
    bool has(const std::string& s) const { return text().find(s) != std::string::npos; }

private:
    std::size_t m_start;
};

// A test with the engine started (and stopped after it) and a folder of its own.
class NRFEngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes `bytes` to a file `name` in the folder and opens and reads it as the engine does: the open
    // or read result.
    NRFErr read(const std::string& name, const std::string& bytes, NRFImageInfoRef& record);
    // Copies each file into the folder and opens and reads the copy: the records of the files that read,
    // by original path.
    std::map<std::string, NRFImageInfoRef> readCopies(const std::vector<std::string>& originals);

    TempDir m_dir;
};

// A pixel decoder run over bytes in memory.
NRFErr decodeBytes(NRFErr (*decoder)(NRFByteSource&, const NRFDecodeOptions&, NRFBitmapBase&),
                   const std::string& bytes, NRFBitmapBase& out, const NRFDecodeOptions& options = {});
// A bitmap's samples, row after row.
std::vector<std::uint8_t> samplesOf(const NRFBitmapBase& bitmap);

} // namespace lumo::test
