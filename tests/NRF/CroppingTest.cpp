#include "NRF/NRFCropping.h"
#include "NRF/NRFPlugin.h"
#include "NRF/NRFTestSupport.h"
#include "app/LumoLogger.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>

namespace {

using lumo::test::LogWatch;

void expectInside(const NRFCropRect2D& crop, double width, double height) {
    for (const NRFPoint2D& p : crop.imageCorners()) {
        EXPECT_GE(p.x, -1e-6);
        EXPECT_LE(p.x, width + 1e-6);
        EXPECT_GE(p.y, -1e-6);
        EXPECT_LE(p.y, height + 1e-6);
    }
}

struct CountingCallbacks : NRFCropRect2DCallbacks {
    void cropRectChanged() override { ++changes; }
    void showCursorFor(NRFCropArea area) override { lastArea = area; }
    int changes = 0;
    NRFCropArea lastArea = NRFCropArea::None;
};

} // namespace

TEST(CroppingTest, TransformAppliesAndInverts) {
    const NRFAffineTransform t = NRFAffineTransform::make(2.0, 90.0, 5.0, -3.0);
    const NRFPoint2D p = t.apply({1.0, 0.0});
    EXPECT_NEAR(p.x, 5.0, 1e-12); // (1, 0) turned a quarter clockwise is (0, 1), doubled, moved
    EXPECT_NEAR(p.y, -1.0, 1e-12);

    NRFAffineTransform inverse;
    ASSERT_TRUE(t.inverse(inverse));
    const NRFPoint2D back = inverse.apply(t.apply({-7.5, 12.25}));
    EXPECT_NEAR(back.x, -7.5, 1e-9);
    EXPECT_NEAR(back.y, 12.25, 1e-9);

    const NRFPoint2D about = NRFAffineTransform::rotationAbout(180.0, {10.0, 10.0}).apply({0.0, 0.0});
    EXPECT_NEAR(about.x, 20.0, 1e-9);
    EXPECT_NEAR(about.y, 20.0, 1e-9);

    LogWatch log;
    NRFAffineTransform out = t;
    EXPECT_FALSE(NRFAffineTransform::make(0.0, 30.0, 1.0, 1.0).inverse(out));
    EXPECT_TRUE(log.has("Unable to invert transformation!"));
    const NRFPoint2D same = out.apply({3.0, 4.0}); // the identity
    EXPECT_EQ(same.x, 3.0);
    EXPECT_EQ(same.y, 4.0);
}

TEST(CroppingTest, NormalizedCropRoundTripsWithAngle) {
    NRFNormalizedCrop in;
    in.left = 0.3;
    in.top = 0.25;
    in.right = 0.6;
    in.bottom = 0.55;
    in.angle = -12.5;
    in.constraintWidth = 3.0;
    in.constraintHeight = 2.0;
    in.constrained = true;

    LogWatch log;
    NRFCropRect2D crop;
    crop.setNormalizedCrop(in, 3000.0, 2000.0);
    const NRFNormalizedCrop out = crop.getNormalizedCrop();
    EXPECT_NEAR(out.left, in.left, 1e-9);
    EXPECT_NEAR(out.top, in.top, 1e-9);
    EXPECT_NEAR(out.right, in.right, 1e-9);
    EXPECT_NEAR(out.bottom, in.bottom, 1e-9);
    EXPECT_EQ(out.angle, in.angle);
    EXPECT_EQ(out.constraintWidth, 3.0);
    EXPECT_EQ(out.constraintHeight, 2.0);
    EXPECT_TRUE(out.constrained);
    EXPECT_TRUE(log.has("angle: -12.500000 (no clipping)"));
    EXPECT_NEAR(crop.modelRect().width(), 900.0, 1e-9);
    EXPECT_NEAR(crop.modelRect().height(), 600.0, 1e-9);

    // Turned by 45 degrees, 1000 x 10 fits 800 x 800 although its upright form does not: it comes back
    // as it went in.
    NRFNormalizedCrop thin;
    thin.left = -0.125;
    thin.right = 1.125;
    thin.top = 0.49375;
    thin.bottom = 0.50625;
    thin.angle = 45.0;
    crop.setNormalizedCrop(thin, 800.0, 800.0);
    expectInside(crop, 800.0, 800.0);
    EXPECT_NEAR(crop.getNormalizedCrop().left, -0.125, 1e-9);
    EXPECT_NEAR(crop.getNormalizedCrop().bottom, 0.50625, 1e-9);

    // The whole image comes back whole; a bad rectangle is taken as the whole image.
    crop.setNormalizedCrop(NRFNormalizedCrop(), 640.0, 480.0);
    EXPECT_EQ(crop.getNormalizedCrop(), NRFNormalizedCrop());
    NRFNormalizedCrop bad;
    bad.left = 0.8;
    bad.right = 0.2;
    crop.setNormalizedCrop(bad, 640.0, 480.0);
    EXPECT_EQ(crop.getNormalizedCrop(), NRFNormalizedCrop());
}

TEST(CroppingTest, RotatedCropTooLargeIsScaledAndNudgedInside) {
    // 2700 x 1800 about (1350, 900), turned by 30 degrees, spans 3238 x 2909 pixels: scaled by
    // 2000 / 2909 it is 2000 high about y = 900, so it is nudged down by 100.
    NRFNormalizedCrop in;
    in.right = 0.9;
    in.bottom = 0.9;
    in.angle = 30.0;
    LogWatch log;
    NRFCropRect2D crop;
    crop.setNormalizedCrop(in, 3000.0, 2000.0);
    EXPECT_TRUE(log.has("Crop rect didn't fit, needed scaling"));
    EXPECT_TRUE(log.has("Nudged y by 100.000000"));
    EXPECT_FALSE(log.has("Nudged x by"));
    EXPECT_TRUE(log.has("angle: 30.000000 (extents needed clipping)"));
    expectInside(crop, 3000.0, 2000.0);

    const double s = 2000.0 / (2700.0 * 0.5 + 1800.0 * std::cos(std::numbers::pi / 6.0));
    EXPECT_NEAR(crop.modelRect().width(), 2700.0 * s, 1e-6);
    EXPECT_NEAR(crop.modelRect().height(), 1800.0 * s, 1e-6);
    const NRFNormalizedCrop out = crop.getNormalizedCrop();
    EXPECT_EQ(out.angle, 30.0);
    EXPECT_NEAR((out.top + out.bottom) / 2.0, 0.5, 1e-9);
}

TEST(CroppingTest, DragStopsAtTheEdge) {
    CountingCallbacks callbacks;
    NRFCropRect2D crop(&callbacks);
    crop.setInitialPosition({100.0, 100.0, 600.0, 400.0}, 1000.0, 800.0);

    LogWatch log;
    crop.mousePressed({350.0, 250.0});
    EXPECT_TRUE(log.has("Starting drag"));
    crop.mouseDragged({2350.0, 260.0});
    EXPECT_TRUE(log.has("Nudged x by"));
    EXPECT_NEAR(crop.modelRect().right, 1000.0, 1e-9);
    EXPECT_NEAR(crop.modelRect().width(), 500.0, 1e-9);
    EXPECT_NEAR(crop.modelRect().top, 110.0, 1e-9);

    // Back from where the press found it, not from the edge.
    crop.mouseDragged({300.0, 250.0});
    crop.mouseReleased({300.0, 250.0});
    EXPECT_NEAR(crop.modelRect().left, 50.0, 1e-9);
    EXPECT_NEAR(crop.modelRect().top, 100.0, 1e-9);
    EXPECT_GE(callbacks.changes, 3);
}

TEST(CroppingTest, ConstrainedResizeKeepsThreeToTwo) {
    NRFNormalizedCrop in;
    in.left = 0.1;
    in.top = 0.1;
    in.right = 0.4;
    in.bottom = 0.4; // 900 x 600 of 3000 x 2000
    in.constraintWidth = 3.0;
    in.constraintHeight = 2.0;
    in.constrained = true;
    NRFCropRect2D crop;
    crop.setNormalizedCrop(in, 3000.0, 2000.0);
    // Shown at a quarter of its size, 10 and 20 pixels into the window.
    const NRFAffineTransform view = NRFAffineTransform::make(0.25, 0.0, 10.0, 20.0);
    crop.setViewTransform(view);

    LogWatch log;
    ASSERT_EQ(crop.characterizeMouseLocation(view.apply({1200.0, 800.0})), NRFCropArea::BottomRight);
    crop.mousePressed(view.apply({1200.0, 800.0}));
    EXPECT_TRUE(log.has("Starting resize"));
    crop.mouseDragged(view.apply({1500.0, 1300.0}));
    EXPECT_NEAR(crop.modelRect().left, 300.0, 1e-6);
    EXPECT_NEAR(crop.modelRect().top, 200.0, 1e-6);
    EXPECT_NEAR(crop.modelRect().height(), 1100.0, 1e-6);
    EXPECT_NEAR(crop.modelRect().width() / crop.modelRect().height(), 1.5, 1e-9);

    // Far outside: the corner stops where the first side meets the image's edge.
    crop.mouseDragged(view.apply({9000.0, 2600.0}));
    EXPECT_NEAR(crop.modelRect().right, 3000.0, 1e-6);
    EXPECT_NEAR(crop.modelRect().width() / crop.modelRect().height(), 1.5, 1e-9);
    expectInside(crop, 3000.0, 2000.0);
    crop.mouseReleased(view.apply({9000.0, 2600.0}));

    // Unconstrained, a corner dragged across the fixed one turns into the other handle.
    crop.setConstraint(1.0, 1.0, false);
    crop.setInitialPosition({300.0, 200.0, 1200.0, 800.0}, 3000.0, 2000.0);
    crop.mousePressed(view.apply({300.0, 200.0}));
    crop.mouseDragged(view.apply({1500.0, -400.0}));
    EXPECT_TRUE(log.has("changed resize type from top-left to top-right"));
    EXPECT_NEAR(crop.modelRect().left, 1200.0, 1e-6);
    EXPECT_NEAR(crop.modelRect().right, 1500.0, 1e-6);
    EXPECT_NEAR(crop.modelRect().top, 0.0, 1e-6);
    EXPECT_NEAR(crop.modelRect().bottom, 800.0, 1e-6);
}

TEST(CroppingTest, ResizeOfRotatedCropStaysInside) {
    NRFNormalizedCrop in;
    in.left = in.top = 0.3;
    in.right = in.bottom = 0.7;
    in.angle = 20.0;
    NRFCropRect2D crop;
    crop.setNormalizedCrop(in, 1000.0, 1000.0);
    const NRFPoint2D corner = crop.imageCorners()[2];
    ASSERT_EQ(crop.characterizeMouseLocation(corner), NRFCropArea::BottomRight);
    crop.mousePressed(corner);
    crop.mouseDragged({5000.0, 4000.0});
    expectInside(crop, 1000.0, 1000.0);
    EXPECT_GT(crop.modelRect().width(), 400.0);
    crop.mouseReleased({5000.0, 4000.0});
    EXPECT_EQ(crop.angle(), 20.0);
}

TEST(CroppingTest, DraggingRotatingCornerTurnsTheCrop) {
    NRFCropRect2D crop;
    crop.setInitialPosition({300.0, 300.0, 700.0, 700.0}, 1000.0, 1000.0);
    const NRFPoint2D press{710.0, 290.0}; // just outside the top-right corner: 45 degrees up
    ASSERT_EQ(crop.characterizeMouseLocation(press), NRFCropArea::RotateTopRight);

    LogWatch log;
    crop.mousePressed(press);
    EXPECT_TRUE(log.has("Starting rotate"));
    EXPECT_TRUE(log.has("thetaStart = -45.0"));
    const double r = std::hypot(210.0, 210.0), a = -25.0 * std::numbers::pi / 180.0;
    const NRFPoint2D to{500.0 + r * std::cos(a), 500.0 + r * std::sin(a)};
    crop.mouseDragged(to);
    crop.mouseReleased(to);
    EXPECT_TRUE(log.has("thetaEnd = -25.0"));
    EXPECT_NEAR(crop.angle(), 20.0, 1e-9);

    const NRFNormalizedCrop out = crop.getNormalizedCrop(); // turned about its own centre
    EXPECT_NEAR(out.left, 0.3, 1e-9);
    EXPECT_NEAR(out.bottom, 0.7, 1e-9);
    expectInside(crop, 1000.0, 1000.0);
}

TEST(CroppingTest, HitTesting) {
    CountingCallbacks callbacks;
    NRFCropRect2D crop(&callbacks);
    crop.setInitialPosition({300.0, 300.0, 700.0, 700.0}, 1000.0, 1000.0);
    EXPECT_EQ(crop.characterizeMouseLocation({500.0, 500.0}), NRFCropArea::Center);
    EXPECT_EQ(crop.characterizeMouseLocation({703.0, 297.0}), NRFCropArea::TopRight);
    EXPECT_EQ(crop.characterizeMouseLocation({500.0, 304.0}), NRFCropArea::Top);
    EXPECT_EQ(crop.characterizeMouseLocation({296.0, 500.0}), NRFCropArea::Left);
    EXPECT_EQ(crop.characterizeMouseLocation({285.0, 715.0}), NRFCropArea::RotateBottomLeft);
    EXPECT_EQ(crop.characterizeMouseLocation({500.0, 280.0}), NRFCropArea::None);
    EXPECT_EQ(crop.characterizeMouseLocation({900.0, 900.0}), NRFCropArea::None);

    // Distances are the screen's: at twice the size the same image point is too far from the corner.
    crop.setViewTransform(NRFAffineTransform::make(2.0, 0.0, 0.0, 0.0));
    EXPECT_EQ(crop.characterizeMouseLocation({2.0 * 704.0, 2.0 * 296.0}), NRFCropArea::RotateTopRight);

    // Turned, the handles follow the corners.
    NRFNormalizedCrop in;
    in.left = in.top = 0.3;
    in.right = in.bottom = 0.7;
    in.angle = 45.0;
    crop.setViewTransform(NRFAffineTransform());
    crop.setNormalizedCrop(in, 1000.0, 1000.0);
    const NRFPoint2D topLeft = crop.imageCorners()[0];
    EXPECT_NEAR(topLeft.x, 500.0, 1e-9); // a diamond: the top-left corner is at the top
    EXPECT_EQ(crop.characterizeMouseLocation(topLeft), NRFCropArea::TopLeft);
    crop.mouseMoved({500.0, 500.0});
    EXPECT_EQ(callbacks.lastArea, NRFCropArea::Center);
}

TEST(CroppingTest, IsImageCroppedOnlyForTypesThatCrop) {
    ASSERT_EQ(NRFInit(""), kNRFErrNone);
    NRFLocalImageInfoRec jpeg("/nowhere/a.jpg", kNRFTypeJPEG);
    bool yes = true;
    EXPECT_EQ(NRFIsImageCropped(&jpeg, yes), kNRFErrNone);
    EXPECT_FALSE(yes);
    jpeg.m_crop.angle = 1.5;
    EXPECT_EQ(NRFIsImageCropped(&jpeg, yes), kNRFErrNone);
    EXPECT_TRUE(yes);
    jpeg.m_crop = NRFNormalizedCrop();
    jpeg.m_crop.bottom = 0.75;
    EXPECT_EQ(NRFIsImageCropped(&jpeg, yes), kNRFErrNone);
    EXPECT_TRUE(yes);

    for (int i = 0; const NRFFileTypeInfo* row = NRFGetFileTypeInfo(i); ++i) {
        if (row->capabilities & kNRFCapCrop)
            continue;
        NRFLocalImageInfoRec other("/nowhere/b", row->fileType);
        other.m_crop.left = 0.5;
        EXPECT_EQ(NRFIsImageCropped(&other, yes), kNRFErrParam);
        EXPECT_FALSE(yes);
        break;
    }
    NRFTerminate();
}
