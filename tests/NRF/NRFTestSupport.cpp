#include "NRF/NRFTestSupport.h"

#include "NRF/EXIFUtils.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLogger.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace lumo::test {

bool readExifBlock(const std::string& path, const std::string& bytes, NRFImageInfoRec& record) {
    std::size_t at = 0;
    while ((at = bytes.find(std::string("Exif\0\0", 6), at)) != std::string::npos) {
        const std::string order = bytes.substr(at + 6, 4);
        if (order == std::string("II*\0", 4) || order == std::string("MM\0*", 4))
            break;
        ++at;
    }
    if (at == std::string::npos)
        return false;
    NRFMemoryByteSource source(bytes.data(), bytes.size());
    NRFBasicTIFF tiff(source, at + 6);
    if (!tiff.ReadHeader())
        return false;
    record.m_path = path;
    EXIFParseOptions options;
    options.fileType = kNRFTypeJPEG;
    options.segmentStart = at + 6;
    options.segmentEnd = bytes.size();
    EXIFParser parser(record, tiff, options);
    if (parser.ParseIFD0() != 0)
        return false;
    parser.ParseExifIFD();
    return true;
}

void NRFEngineTest::SetUp() {
    ASSERT_EQ(NRFInit(""), kNRFErrNone);
}

void NRFEngineTest::TearDown() {
    NRFTerminate();
}

NRFErr NRFEngineTest::read(const std::string& name, const std::string& bytes, NRFImageInfoRef& record) {
    const std::string path = m_dir.file(name);
    writeWholeFile(path, bytes);
    record.reset();
    if (const NRFErr err = NRFOpenImage(path.c_str(), 0, &record); err != kNRFErrNone)
        return err;
    return NRFGetImageInfo(record.get());
}

std::map<std::string, NRFImageInfoRef> NRFEngineTest::readCopies(const std::vector<std::string>& originals) {
    std::map<std::string, NRFImageInfoRef> records;
    for (const std::string& original : originals) {
        NRFImageInfoRef record;
        if (read(std::filesystem::path(original).filename().string(), readWholeFile(original), record) ==
            kNRFErrNone)
            records[original] = record;
    }
    return records;
}

std::string wholeLog() {
    LumoLogger& log = LumoLogger::instance();
    log.flush();
    std::string text;
    if (const std::string path = log.logFilePath(); !path.empty()) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        text = bytes.str();
    }
    return text + log.pendingText();
}

std::string LogWatch::text() const {
    const std::string all = wholeLog();
    return all.size() > m_start ? all.substr(m_start) : std::string();
}

NRFErr decodeBytes(NRFErr (*decoder)(NRFByteSource&, const NRFDecodeOptions&, NRFBitmapBase&),
                   const std::string& bytes, NRFBitmapBase& out, const NRFDecodeOptions& options) {
    NRFMemoryByteSource source(bytes.data(), bytes.size());
    return decoder(source, options, out);
}

std::vector<std::uint8_t> samplesOf(const NRFBitmapBase& bitmap) {
    std::vector<std::uint8_t> all;
    for (std::uint32_t y = 0; y < bitmap.Height(); ++y)
        all.insert(all.end(), bitmap.Row(y), bitmap.Row(y) + bitmap.Stride());
    return all;
}

} // namespace lumo::test
