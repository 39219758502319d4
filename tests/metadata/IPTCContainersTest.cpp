// A record packed by the codec, written into copies of real JPEG, TIFF and Photoshop files by the
// engine, read back by exiftool and by the codec.

#include "NRF/NRF.h"
#include "metadata/IPTCUtils.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace lumo::test {
namespace {

class IPTCContainersTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(NRFInit(""), kNRFErrNone); }
    void TearDown() override { NRFTerminate(); }
    TempDir m_dir;
};

TEST_F(IPTCContainersTest, PackedRecordsRoundTripThroughFilesAndExiftool) {
    const std::string corpus = corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    if (runProcess("exiftool", {"-ver"}).exitCode != 0)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    IPTCRec record;
    ASSERT_TRUE(IPTCSetDataSet(&record, IPTC_CAPTION, 1, "Caf\xC3\xA9 cr\xC3\xA8me\nline 2"));
    ASSERT_TRUE(IPTCSetDataSet(&record, IPTC_KEYWORDS, 1, "alpha, beta"));
    ASSERT_TRUE(IPTCSetDataSet(&record, IPTC_SUPP_CATEGORIES, 3, "x"));
    ASSERT_TRUE(IPTCSetDataSet(&record, IPTC_DATE_CREATED, 1, "20240102"));
    ASSERT_TRUE(IPTCSetDataSet(&record, IPTC_TIME_CREATED, 1, "101500+0100"));
    const IPTCEncodingSettings settings; // CP1252, CR line endings
    std::unique_ptr<std::uint8_t[]> packed;
    std::size_t size = 0;
    ASSERT_EQ(IPTCPackRecToBinary(settings, &record, &packed, &size, false), kIPTCNoErr);
    const std::string block(reinterpret_cast<const char*>(packed.get()), size);

    for (const char* name : {"exiftool/IPTC.jpg", "exiv2/test.tiff", "exiftool/Photoshop.psd"}) {
        SCOPED_TRACE(name);
        const std::string path = m_dir.file(std::filesystem::path(name).filename().string());
        writeWholeFile(path, readWholeFile(corpus + "/" + name));
        NRFImageInfoRef file;
        ASSERT_EQ(NRFOpenImage(path.c_str(), 0, &file), kNRFErrNone);
        ASSERT_EQ(NRFGetImageInfo(file.get()), kNRFErrNone);
        ASSERT_EQ(NRFSaveIPTC(file.get(), &block), kNRFErrNone);

        const auto json = exiftoolJson({"-n", "-IPTC:all", path});
        ASSERT_TRUE(json && json->size() == 1);
        const auto& tags = (*json)[0];
        EXPECT_EQ(tags.value("Caption-Abstract", ""), "Caf\xC3\xA9 cr\xC3\xA8me\rline 2");
        EXPECT_EQ(tags["Keywords"], nlohmann::json::array({"alpha", "beta"}));
        EXPECT_EQ(tags["SupplementalCategories"], nlohmann::json::array({" ", " ", "x"}));
        EXPECT_EQ(tags.value("DateCreated", ""), "2024:01:02");
        EXPECT_EQ(tags.value("TimeCreated", ""), "10:15:00+01:00");

        std::string stored;
        ASSERT_EQ(NRFLoadIPTC(file.get(), &stored), kNRFErrNone);
        IPTCRec back;
        ASSERT_EQ(IPTCUnpackRecFromBinary(settings, reinterpret_cast<const std::uint8_t*>(stored.data()),
                                          stored.size(), false, &back),
                  kIPTCNoErr);
        std::string text;
        ASSERT_TRUE(IPTCGetDataSet(&back, IPTC_CAPTION, 1, false, text));
        EXPECT_EQ(text, "Caf\xC3\xA9 cr\xC3\xA8me\r\nline 2");
        ASSERT_TRUE(IPTCGetDataSet(&back, IPTC_KEYWORDS, 1, false, text));
        EXPECT_EQ(text, "alpha,beta");
        ASSERT_TRUE(IPTCGetDataSet(&back, IPTC_SUPP_CATEGORIES, 3, false, text));
        EXPECT_EQ(text, "x");
        ASSERT_TRUE(IPTCGetDataSet(&back, IPTC_TIME_CREATED, 1, false, text));
        EXPECT_EQ(text, "101500+0100");
        NRFCloseImage(&file);
    }
}

} // namespace
} // namespace lumo::test
