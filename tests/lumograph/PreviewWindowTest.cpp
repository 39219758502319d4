#include "PreviewWindow.h"
#include "CropOverlay.h"
#include "DesktopTestSupport.h"
#include "DisplayColorTransform.h"
#include "ItemOperations.h"

#include "NRF/NRF.h"
#include "NRF/NRFICC.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "metadata/PhotoMetadata.h"
#include "support/TestSupport.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <set>

using namespace lumo::test;

namespace {

// Three camera photos: landscape, portrait by its EXIF orientation, landscape; read as a sheet reads
// them.
std::vector<DocumentItem::Ref> threePhotos(const TempDir& dir) {
    const CameraPhoto photos[] = {{.width = 640, .height = 480},
                                  {.width = 640, .height = 480, .orientation = 6},
                                  {.width = 480, .height = 360, .make = "Other", .model = "Other X"}};
    std::vector<DocumentItem::Ref> items;
    for (int i = 0; i < 3; ++i) {
        const std::string path = dir.file("IMG_" + std::to_string(i) + ".JPG");
        writeCameraJpeg(path, photos[i]);
        items.push_back(DocumentItem::ForFile(path, kNRFTypeJPEG, false));
        EXPECT_EQ(items.back()->Load(), 0u);
    }
    return items;
}

// The photo's record as the engine reads it from the file now.
NRFImageInfoRef readBack(const std::string& path) {
    NRFImageInfoRef record;
    EXPECT_EQ(NRFOpenImage(path.c_str(), kNRFTypeJPEG, &record), 0u);
    EXPECT_EQ(NRFGetImageInfo(record.get()), 0u);
    EXPECT_EQ(IPTCLoadPhotoState(record.get()), 0u);
    return record;
}

double aspectOf(const QRectF& r) {
    return r.height() > 0 ? r.width() / r.height() : 0.0;
}

void drag(QWidget* widget, const QPointF& from, const QPointF& to) {
    QTest::mousePress(widget, Qt::LeftButton, {}, from.toPoint());
    QTest::mouseMove(widget, ((from + to) / 2.0).toPoint());
    QTest::mouseMove(widget, to.toPoint());
    QTest::mouseRelease(widget, Qt::LeftButton, {}, to.toPoint());
}

struct PreviewWindowTest : testing::Test {
    TempDir dir;
    std::vector<DocumentItem::Ref> items = threePhotos(dir);
    CPreviewWindow preview{items, 0};

    void SetUp() override {
        preview.resize(800, 600);
        preview.show();
        ASSERT_TRUE(waitUntil([&] { return preview.isPictureShown(); }));
    }
    // Waits for the picture of the current photo at the shape it is shown in.
    bool shownAs(double aspect) {
        return waitUntil([&] { return std::abs(aspectOf(preview.pictureRect()) - aspect) < 0.02; });
    }
};

} // namespace

TEST_F(PreviewWindowTest, ArrowKeysStepThroughThePhotosUpright) {
    EXPECT_TRUE(shownAs(4.0 / 3.0));
    QSignalSpy indexes(&preview, &CPreviewWindow::currentIndexChanged);
    const struct {
        Qt::Key key;
        int index;
        double aspect;
    } steps[] = {
        {Qt::Key_Right, 1, 3.0 / 4.0},                                   // turned upright by its orientation
        {Qt::Key_PageDown, 2, 4.0 / 3.0}, {Qt::Key_Right, 2, 4.0 / 3.0}, // the last stays
        {Qt::Key_Left, 1, 3.0 / 4.0},     {Qt::Key_Home, 0, 4.0 / 3.0},  {Qt::Key_End, 2, 4.0 / 3.0},
    };
    for (const auto& step : steps) {
        QTest::keyClick(&preview, step.key);
        EXPECT_EQ(preview.currentIndex(), step.index);
        EXPECT_TRUE(shownAs(step.aspect)) << step.index;
        EXPECT_TRUE(preview.isPictureShown());
    }
    ASSERT_EQ(indexes.size(), 5);
    EXPECT_EQ(indexes.at(0).at(0).toInt(), 1);
    EXPECT_EQ(indexes.at(4).at(0).toInt(), 2);
}

TEST_F(PreviewWindowTest, CullingKeysChangeTheFileAndTurnThePicture) {
    const std::string path = items[0]->FullPath();
    const struct {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        std::function<bool(const NRFImageInfoRec&)> inFile;
    } keys[] = {
        {Qt::Key_T, Qt::NoModifier, [](const NRFImageInfoRec& r) { return r.m_tag; }},
        {Qt::Key_3, Qt::NoModifier, [](const NRFImageInfoRec& r) { return r.m_rating == 3; }},
        {Qt::Key_7, Qt::NoModifier, [](const NRFImageInfoRec& r) { return r.m_colorClass == 2; }},
        {Qt::Key_BracketRight, Qt::ControlModifier,
         [](const NRFImageInfoRec& r) { return r.m_orientation == 1; }},
    };
    for (const auto& k : keys) {
        QTest::keyClick(&preview, k.key, k.modifiers);
        EXPECT_TRUE(waitUntil([&] { return k.inFile(*readBack(path)); })) << QTest::toString(k.key);
    }
    EXPECT_TRUE(shownAs(3.0 / 4.0)); // the turned photo's picture
    EXPECT_TRUE(preview.infoLines().contains("Rating: 3"));
}

TEST_F(PreviewWindowTest, CropMadeWithTheMouseIsSavedAndShown) {
    const std::string path = items[0]->FullPath();
    ASSERT_TRUE(shownAs(4.0 / 3.0));
    QTest::keyClick(&preview, Qt::Key_C);
    ASSERT_TRUE(preview.isCropping());
    CCropOverlay* overlay = preview.cropOverlay();
    ASSERT_TRUE(overlay && overlay->isVisible());
    const QTransform view = overlay->imageToWindow();

    // The top-left corner dragged to a quarter across and a fifth down, then the crop moved left by a
    // tenth of the picture.
    drag(overlay, view.map(QPointF(0, 0)), view.map(QPointF(160, 96)));
    drag(overlay, view.map(QPointF(400, 288)), view.map(QPointF(336, 288)));
    EXPECT_TRUE(preview.grab().save(QString::fromStdString(screenshotPath("preview-crop.png"))));
    const NRFNormalizedCrop made = overlay->crop();
    EXPECT_NEAR(made.left, 0.15, 0.01);
    EXPECT_NEAR(made.top, 0.2, 0.01);
    EXPECT_NEAR(made.right, 0.9, 0.01);
    EXPECT_NEAR(made.bottom, 1.0, 0.01);

    QTest::keyClick(&preview, Qt::Key_Return);
    EXPECT_FALSE(preview.isCropping());
    const NRFNormalizedCrop saved = readBack(path)->m_crop;
    EXPECT_NEAR(saved.left, made.left, 1e-6);
    EXPECT_NEAR(saved.top, made.top, 1e-6);
    EXPECT_NEAR(saved.right, made.right, 1e-6);
    EXPECT_NEAR(saved.bottom, made.bottom, 1e-6);
    // Only the crop is shown: 0.75 x 640 by 0.8 x 480.
    EXPECT_TRUE(shownAs((made.right - made.left) * 640.0 / ((made.bottom - made.top) * 480.0)));

    // A ratio reshapes the crop; Escape leaves the file alone.
    QTest::keyClick(&preview, Qt::Key_C);
    overlay->setAspect(3); // 1:1
    const NRFNormalizedCrop square = overlay->crop();
    EXPECT_NEAR((square.right - square.left) * 640.0, (square.bottom - square.top) * 480.0, 1e-6);
    EXPECT_TRUE(square.constrained);
    QTest::keyClick(&preview, Qt::Key_Escape);
    EXPECT_FALSE(preview.isCropping());
    EXPECT_TRUE(preview.isVisible());
    EXPECT_NEAR(readBack(path)->m_crop.left, made.left, 1e-6);

    // Turned by dragging outside a corner, at most 45 degrees either way.
    QTest::keyClick(&preview, Qt::Key_C);
    const QTransform turnView = overlay->imageToWindow();
    const NRFPoint2D corner = overlay->model().imageCorners()[1];
    const QPointF topRight = turnView.map(QPointF(corner.x, corner.y)) + QPointF(10, -10);
    const QPointF centre = turnView.map(QPointF(0.525 * 640, 0.6 * 480));
    drag(overlay, topRight, centre + QPointF(0, 300));
    EXPECT_EQ(overlay->crop().angle, 45.0);
    QTest::keyClick(&preview, Qt::Key_Escape);

    // Delete in the crop removes it.
    QTest::keyClick(&preview, Qt::Key_C);
    QTest::keyClick(&preview, Qt::Key_Delete);
    EXPECT_EQ(readBack(path)->m_crop, NRFNormalizedCrop());
    EXPECT_TRUE(shownAs(4.0 / 3.0));
}

// A stored crop is in fractions of the photo as stored, with its angle: the preview shows its
// rectangle, level, as the photo is seen.
TEST_F(PreviewWindowTest, StoredCropsFollowTheTurnAndTheAngle) {
    const struct {
        int index;
        NRFNormalizedCrop crop;
        double aspect;
    } cases[] = {
        {1, {.right = 0.5}, 480.0 / 320.0}, // the stored left half is the top half of the upright photo
        {0, {.left = 0.2, .top = 0.2, .right = 0.8, .bottom = 0.8, .angle = 10.0}, 384.0 / 288.0},
        {2, {.left = 0.25, .top = 0.15, .right = 0.75, .bottom = 0.85, .angle = -30.0}, 240.0 / 252.0},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(items[static_cast<std::size_t>(c.index)]->SetCrop(c.crop));
        preview.setIndex(c.index);
        EXPECT_TRUE(shownAs(c.aspect)) << c.index << ": " << aspectOf(preview.pictureRect());
    }
    EXPECT_TRUE(preview.grab().save(QString::fromStdString(screenshotPath("preview-cropped.png"))));

    // Cropping the turned photo: its stored top-left corner is at the top right of what is seen.
    preview.setIndex(1);
    ASSERT_TRUE(shownAs(480.0 / 320.0));
    QTest::keyClick(&preview, Qt::Key_C);
    ASSERT_TRUE(preview.isCropping());
    const QPointF storedTopLeft = preview.cropOverlay()->imageToWindow().map(QPointF(0, 0));
    EXPECT_GT(storedTopLeft.x(), preview.width() / 2.0);
    EXPECT_LT(storedTopLeft.y(), preview.height() / 2.0);
    QTest::keyClick(&preview, Qt::Key_Escape);
}

// Real camera files, raw ones included, each end drawn: their picture or the error's text.
TEST(PreviewCorpusTest, CameraFilesAreShown) {
    const std::vector<std::string> files =
        corpusFiles({".cr2", ".cr3", ".nef", ".dng", ".raf", ".rw2", ".heic"});
    if (files.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    std::vector<DocumentItem::Ref> items;
    std::set<std::string> kinds; // one file of each kind keeps the run short
    for (const std::string& file : files)
        if (kinds.insert(std::filesystem::path(file).extension().string()).second)
            items.push_back(DocumentItem::ForFile(file, 0, true));
    CPreviewWindow preview(items, 0);
    preview.resize(640, 480);
    preview.show();
    preview.setInfoShown(true);
    for (std::size_t i = 0; i < items.size(); ++i) {
        preview.setIndex(static_cast<int>(i));
        EXPECT_TRUE(waitUntil([&] { return preview.isPictureShown(); }, 30000)) << items[i]->FullPath();
        preview.grab(); // painted whole, with the information
    }
}

TEST_F(PreviewWindowTest, ZoomAndInformation) {
    ASSERT_TRUE(shownAs(4.0 / 3.0));
    EXPECT_NEAR(preview.pictureRect().width(), 800.0, 1.0); // fitted
    QTest::keyClick(&preview, Qt::Key_Z);
    EXPECT_TRUE(preview.isZoomed());
    EXPECT_TRUE(waitUntil([&] { return std::abs(preview.pictureRect().width() - 640.0) < 1.0; }))
        << preview.pictureRect().width(); // one photo pixel on one screen pixel
    QTest::keyClick(&preview, Qt::Key_Z);
    EXPECT_NEAR(preview.pictureRect().width(), 800.0, 1.0);

    QTest::keyClick(&preview, Qt::Key_I);
    EXPECT_TRUE(preview.isInfoShown());
    const QStringList lines = preview.infoLines();
    for (const char* line : {"IMG_0.JPG", "Camera: Lumo Cam 1", "Taken: 2024-05-01 10:00:00",
                             "Size: 640 x 480 pixels", "Rating: 0", "Tag: not tagged"})
        EXPECT_TRUE(lines.filter(QString::fromUtf8(line)).size() == 1) << line << " in\n"
                                                                       << lines.join('\n').toStdString();
    QTest::keyClick(&preview, Qt::Key_Right);
    ASSERT_TRUE(shownAs(3.0 / 4.0));
    EXPECT_TRUE(preview.grab().save(QString::fromStdString(screenshotPath("preview.png"))));
    QTest::keyClick(&preview, Qt::Key_Escape);
    EXPECT_FALSE(preview.isVisible());
}

// The screen's profile named in the preferences converts the pictures; without one they stay sRGB.
TEST(DisplayColorTransformTest, ConvertsForTheScreensProfile) {
    const std::string& adobe = NRFICCBuiltInProfile(kNRFColorSpaceAdobeRGB);
    ASSERT_FALSE(adobe.empty());
    EXPECT_EQ(CDisplayColorTransform::fromProfile("not a profile"), nullptr);
    const auto wide = CDisplayColorTransform::fromProfile(adobe);
    ASSERT_NE(wide, nullptr);

    NRFBitmapBase green;
    ASSERT_TRUE(green.Allocate(2, 1, 3));
    green.Row(0)[1] = 255; // sRGB's pure green is less saturated in a wider space
    const QImage asIs = CDisplayColorTransform::toScreenImage(green, nullptr);
    const QImage converted = CDisplayColorTransform::toScreenImage(green, wide.get());
    EXPECT_EQ(asIs.pixel(0, 0), qRgb(0, 255, 0));
    EXPECT_GT(qRed(converted.pixel(0, 0)), 40);
    EXPECT_EQ(converted.pixel(1, 0), qRgb(0, 0, 0));

    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    ASSERT_NE(preferences, nullptr);
    TempDir dir;
    std::string screenProfile = dir.file("screen.icc"); // a monitor's profile, when the corpus has one
    if (const std::string corpus = corpusFolder(); !corpus.empty())
        screenProfile = corpus + "/exiftool/ICC_Profile.icc";
    else
        writeWholeFile(screenProfile, adobe);
    preferences->setString(kPrefDisplayICCProfile, screenProfile);
    const auto screen = CDisplayColorTransform::forScreen();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(screen->name(), NRFICCProfileName(readWholeFile(screenProfile)));
    // A named pipe is never read (it would wait for a writer for ever): the preview shows sRGB.
    const std::string pipe = dir.file("screen.fifo");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    preferences->setString(kPrefDisplayICCProfile, pipe);
    EXPECT_EQ(CDisplayColorTransform::forScreen(), nullptr);
    preferences->setString(kPrefDisplayICCProfile, "");
    EXPECT_EQ(CDisplayColorTransform::forScreen(), nullptr);
}
