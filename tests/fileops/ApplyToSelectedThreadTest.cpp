// Applying the metadata template to selected photos: each photo written with its own variables, the
// questions put when a photo fails or reverse geocoding fails, the count of photos not captioned, and
// the photo state the template does not apply left alone.

#include "fileops/ApplyToSelectedThread.h"

#include "app/MessageBox.h"
#include "app/UIThread.h"
#include "background/ProgressDialogInterface.h"
#include "db/Preferences.h"
#include "metadata/IPTCFields.h"
#include "metadata/IPTCUtils.h"
#include "metadata/MetadataTemplate.h"
#include "support/AnsweringPhotoEngineTest.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

class ApplyToSelectedTest : public lumo::test::AnsweringPhotoEngineTest {
protected:
    void TearDown() override {
        IPTCSetReverseGeocoder(nullptr);
        lumo::test::AnsweringPhotoEngineTest::TearDown();
    }

    // A JPEG named `name` with colour class 3 and the caption "own".
    std::string photo(const std::string& name) {
        const std::string path = m_dir.file(name);
        writeWholeFile(path, lumo::test::encodeJpeg(32, 24));
        NRFImageInfoRef image = open(path);
        IPTCRec own;
        IPTCSetDataSet(&own, IPTC_CAPTION, 1, "own");
        IPTCSetDataSet(&own, IPTC_CITY, 1, "Lyon");
        image->m_colorClass = 3;
        EXPECT_EQ(DoSaveIPTC(image.get(), own), kNRFErrNone);
        return path;
    }
    static NRFImageInfoRef open(const std::string& path) {
        NRFImageInfoRef image;
        EXPECT_EQ(NRFOpenImage(path.c_str(), 0, &image), kNRFErrNone);
        EXPECT_EQ(NRFGetImageInfo(image.get()), kNRFErrNone);
        return image;
    }
    // The colour class as the photo's metadata holds it.
    static int colorClass(const std::string& path) {
        NRFImageInfoRef image = open(path);
        IPTCRec record;
        EXPECT_EQ(NRFLoadIPTC(image.get(), &record), kNRFErrNone);
        return image->m_colorClass;
    }
    static std::string field(const std::string& path, IPTCFieldID id) {
        NRFImageInfoRef image = open(path);
        IPTCRec record;
        EXPECT_EQ(NRFLoadIPTC(image.get(), &record), kNRFErrNone);
        std::string text;
        IPTCGetDataSet(&record, id, 1, true, text);
        return text;
    }

    std::unique_ptr<ApplyToSelectedThread> run(std::vector<std::string> paths, const IPTCRec& stationery) {
        m_progress = std::make_unique<ProgressDialogInterface>();
        auto thread = DoApplyStationeryPadToSelected(std::move(paths), stationery, m_progress.get());
        EXPECT_TRUE(thread);
        thread->Join();
        EXPECT_TRUE(m_progress->IsFinished());
        return thread;
    }

    // Headline "Frame {seqn}" and the caption appended.
    static IPTCRec stationery() {
        IPTCRec t;
        IPTCSetDataSet(&t, IPTC_HEADLINE, 1, "Frame {seqn}");
        t.m_applyFlags[IPTCFieldIndexOf(IPTC_HEADLINE)] = 1;
        IPTCSetDataSet(&t, IPTC_CAPTION, 1, "more");
        t.m_applyFlags[IPTCFieldIndexOf(IPTC_CAPTION)] = 1;
        t.m_captionMergeStyle = kCaptionMergeAppend;
        return t;
    }

    TempDir m_dir;
    std::unique_ptr<ProgressDialogInterface> m_progress;
};

} // namespace

TEST_F(ApplyToSelectedTest, FailingPhotoAsksAboutTheRemainingOnesAndIsCounted) {
    ASSERT_TRUE(CPreferences::GetPreferences());
    for (const MessageBoxAnswer answer : {MessageBoxAnswer::Yes, MessageBoxAnswer::No}) {
        m_asked.clear();
        m_answer = answer;
        const std::string a = photo("a.jpg"), c = photo("c.jpg");
        const std::string missing = m_dir.file("b.jpg");
        const auto thread = run({a, missing, c}, stationery());
        EXPECT_EQ(field(a, IPTC_CAPTION), "own more");
        ASSERT_EQ(thread->Results().size(), 3u);
        EXPECT_NE(thread->Results()[1].result, 0u);
        EXPECT_FALSE(thread->Results()[1].error.empty());
        EXPECT_EQ(thread->FailedCount(), 1u);
        const std::vector<std::string> asked = {
            "Apply the Metadata (IPTC) Template to the remaining 1 photo?",
            "1 of 3 of the selected photos cannot be captioned\n"};
        EXPECT_EQ(m_asked, asked);
        if (answer == MessageBoxAnswer::Yes) {
            // The failed photo gave its sequence number back: the next one takes it.
            const std::string first = field(a, IPTC_HEADLINE);
            EXPECT_EQ(first.substr(0, 6), "Frame ");
            EXPECT_EQ(std::stoi(field(c, IPTC_HEADLINE).substr(6)), std::stoi(first.substr(6)) + 1);
            EXPECT_EQ(m_progress->GetStatus(), ProgressDialogInterface::kStatusFailed);
            EXPECT_EQ(m_progress->GetTitle(), "Applying Metadata (IPTC) Template...");
            EXPECT_EQ(m_progress->GetMessage(), "Applying to c.jpg");
        } else {
            EXPECT_EQ(field(c, IPTC_CAPTION), "own");
            EXPECT_FALSE(thread->Results()[2].reached);
            EXPECT_EQ(m_progress->GetStatus(), ProgressDialogInterface::kStatusCancelled);
        }
    }
    CPreferences::ClosePreferences();
}

TEST_F(ApplyToSelectedTest, PhotoStateChangesOnlyWhereTheTemplateAppliesIt) {
    const std::string path = photo("a.jpg");
    run({path}, stationery());
    EXPECT_EQ(m_progress->GetStatus(), 0u);
    EXPECT_EQ(colorClass(path), 3);
    EXPECT_EQ(field(path, IPTC_CAPTION), "own more");

    IPTCRec rating = stationery();
    rating.m_colorClassEval = "5", rating.m_colorClassApply = true;
    run({path}, rating);
    EXPECT_EQ(colorClass(path), 5);
}

TEST_F(ApplyToSelectedTest, ReverseGeocodingFillsTheFlaggedFieldsOrAsks) {
    IPTCRec t = stationery();
    t.m_reverseGeocodingApply[kGeocodeCity] = t.m_reverseGeocodingApply[kGeocodeCountry] = true;
    t.m_reverseGeocodingApply[kGeocodeNeverOverwrite] = true;
    // No geocoder: the question; no stops before anything is written, yes goes on without it.
    for (const MessageBoxAnswer answer : {MessageBoxAnswer::No, MessageBoxAnswer::Yes}) {
        m_asked.clear();
        m_answer = answer;
        const std::string a = photo("a.jpg"), b = photo("b.jpg");
        run({a, b}, t);
        EXPECT_EQ(m_asked, std::vector<std::string>{ApplyTemplateText::kGeocodingFailed});
        const bool applied = answer == MessageBoxAnswer::Yes;
        EXPECT_EQ(field(a, IPTC_CAPTION), applied ? "own more" : "own");
        EXPECT_EQ(field(b, IPTC_CAPTION), applied ? "own more" : "own");
        EXPECT_EQ(m_progress->GetStatus(), applied ? 0u : ProgressDialogInterface::kStatusCancelled);
    }
    // With one: the flagged fields filled, a value the photo holds kept (never overwrite).
    IPTCSetReverseGeocoder([](const NRFImageInfoRec&) {
        return std::optional<IPTCLocation>(IPTCLocation{.m_city = "Porto", .m_countryName = "Portugal"});
    });
    m_asked.clear();
    const std::string path = photo("c.jpg");
    run({path}, t);
    EXPECT_TRUE(m_asked.empty());
    EXPECT_EQ(field(path, IPTC_CITY), "Lyon");
    EXPECT_EQ(field(path, IPTC_COUNTRY_NAME), "Portugal");
}
