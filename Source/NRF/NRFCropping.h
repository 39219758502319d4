#pragma once

// The crop model: a rectangle with an angle over the image, edited with the mouse, kept inside the
// image, and given back as a normalised crop.
//
// Three spaces meet here. Image space is the unrotated image in pixels, (0, 0) to (width, height).
// Model space is image space turned by the crop's angle about the image's centre: there the crop is an
// upright rectangle, and `toImage()` carries it back. Screen space is where the front end draws the
// image; it hands the model its image-to-screen transform, and the mouse functions take screen points
// so that the hit distances are in screen pixels.

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"

#include <array>

struct NRFPoint2D {
    double x = 0.0, y = 0.0;

    NRFPoint2D operator+(const NRFPoint2D& o) const { return {x + o.x, y + o.y}; }
    NRFPoint2D operator-(const NRFPoint2D& o) const { return {x - o.x, y - o.y}; }
    NRFPoint2D operator*(double s) const { return {x * s, y * s}; }
    double length() const;
};

// An upright rectangle; left <= right and top <= bottom once normalised.
struct NRFRect2D {
    double left = 0.0, top = 0.0, right = 0.0, bottom = 0.0;

    static NRFRect2D fromPoints(const NRFPoint2D& a, const NRFPoint2D& b);
    double width() const { return right - left; }
    double height() const { return bottom - top; }
    NRFPoint2D center() const { return {(left + right) / 2.0, (top + bottom) / 2.0}; }
    bool contains(const NRFPoint2D& p) const {
        return p.x >= left && p.x <= right && p.y >= top && p.y <= bottom;
    }
    // Corners clockwise from the top left.
    std::array<NRFPoint2D, 4> corners() const;
    NRFRect2D offset(const NRFPoint2D& d) const { return {left + d.x, top + d.y, right + d.x, bottom + d.y}; }
};

// A rectangle being resized: one corner stays, the other follows the mouse between the minimum and the
// maximum clip points.
class ResizeableRect {
public:
    void setFixedCorner(const NRFPoint2D& p) { m_fixed = p; }
    const NRFPoint2D& fixedCorner() const { return m_fixed; }
    void setClipPoints(const NRFPoint2D& minClip, const NRFPoint2D& maxClip);
    // `p` held inside the clip points.
    NRFPoint2D clipPoint(const NRFPoint2D& p) const;
    NRFRect2D rectTo(const NRFPoint2D& moving) const { return NRFRect2D::fromPoints(m_fixed, moving); }

private:
    NRFPoint2D m_fixed, m_minClip, m_maxClip;
};

// x' = a*x + c*y + tx, y' = b*x + d*y + ty.
class NRFAffineTransform {
public:
    NRFAffineTransform() = default;
    NRFAffineTransform(double a, double b, double c, double d, double tx, double ty)
        : m_a(a), m_b(b), m_c(c), m_d(d), m_tx(tx), m_ty(ty) {}
    // Scales, then turns by `degrees` (clockwise on screen, where y grows downwards), then moves.
    static NRFAffineTransform make(double scale, double degrees, double tx, double ty);
    // A turn by `degrees` about `center`.
    static NRFAffineTransform rotationAbout(double degrees, const NRFPoint2D& center);

    NRFPoint2D apply(const NRFPoint2D& p) const {
        return {m_a * p.x + m_c * p.y + m_tx, m_b * p.x + m_d * p.y + m_ty};
    }
    // A difference of points: the translation left out.
    NRFPoint2D applyToVector(const NRFPoint2D& v) const {
        return {m_a * v.x + m_c * v.y, m_b * v.x + m_d * v.y};
    }
    // This transform followed by `next`.
    NRFAffineTransform then(const NRFAffineTransform& next) const;
    // False, logged, and `out` the identity when the transform cannot be inverted.
    bool inverse(NRFAffineTransform& out) const;
    double determinant() const { return m_a * m_d - m_b * m_c; }

private:
    double m_a = 1.0, m_b = 0.0, m_c = 0.0, m_d = 1.0, m_tx = 0.0, m_ty = 0.0;
};

// What part of the crop a point is over.
enum class NRFCropArea {
    None,
    Center,
    TopLeft,
    Top,
    TopRight,
    Right,
    BottomRight,
    Bottom,
    BottomLeft,
    Left,
    RotateTopLeft,
    RotateTopRight,
    RotateBottomRight,
    RotateBottomLeft,
};

const char* NRFCropAreaName(NRFCropArea area);
bool NRFCropAreaIsResize(NRFCropArea area);
bool NRFCropAreaIsRotate(NRFCropArea area);

// What the front end does for the model.
class NRFCropRect2DCallbacks {
public:
    virtual ~NRFCropRect2DCallbacks() = default;
    // The crop changed: draw it again.
    virtual void cropRectChanged() = 0;
    // The mouse is over `area`: show the matching cursor.
    virtual void showCursorFor(NRFCropArea area) = 0;
};

class NRFCropRect2D {
public:
    // Hit distances, in screen pixels.
    static constexpr double kHandleRadius = 6.0;
    static constexpr double kRotateRadius = 24.0;
    // The smallest side a resize leaves, in image pixels.
    static constexpr double kMinimumSide = 1.0;

    explicit NRFCropRect2D(NRFCropRect2DCallbacks* callbacks = nullptr) : m_callbacks(callbacks) {}

    // Places the crop over an image of `width` x `height` pixels.
    void setNormalizedCrop(const NRFNormalizedCrop& crop, double width, double height);
    // An upright crop at `rect` (image pixels) over an image of `width` x `height`.
    void setInitialPosition(const NRFRect2D& rect, double width, double height);
    NRFNormalizedCrop getNormalizedCrop() const;

    void setConstraint(double width, double height, bool constrained);
    void setViewTransform(const NRFAffineTransform& imageToScreen) { m_view = imageToScreen; }

    double angle() const { return m_angle; }
    const NRFRect2D& modelRect() const { return m_rect; }
    NRFAffineTransform toImage() const;
    // The crop's corners in image space, clockwise from the top left.
    std::array<NRFPoint2D, 4> imageCorners() const;

    NRFCropArea characterizeMouseLocation(const NRFPoint2D& screen) const;
    // Tells the front end which cursor fits the point.
    void mouseMoved(const NRFPoint2D& screen);
    void mousePressed(const NRFPoint2D& screen);
    void mouseDragged(const NRFPoint2D& screen);
    void mouseReleased(const NRFPoint2D& screen);

    // Moves the resized corner to `model` (model space), kept inside the image.
    void performResizing(const NRFPoint2D& model);
    // The moving corner for `proposed` that keeps the constraint's ratio; `driving` tells which side
    // the mouse sets (Left/Right: the width, Top/Bottom: the height, a corner: the larger).
    NRFPoint2D constrainedResize(const NRFPoint2D& fixed, const NRFPoint2D& proposed,
                                 NRFCropArea driving) const;
    // `p` held between the clip points of the current resize.
    NRFPoint2D clipPoint(const NRFPoint2D& p) const { return m_resize.clipPoint(p); }
    // The box of moving-corner positions (model space) that keep the three moving corners of a
    // rectangle anchored at `fixed` inside the image, as far as each can be told apart.
    void getMinMaxClipPoints(const NRFPoint2D& fixed, NRFPoint2D& minClip, NRFPoint2D& maxClip) const;

    // Scales the crop down when it does not fit and nudges it back inside the image.
    void keepInside();

private:
    NRFPoint2D screenToImage(const NRFPoint2D& screen) const;
    NRFPoint2D imageToModel(const NRFPoint2D& image) const;
    NRFPoint2D imageCenter() const { return {m_imageWidth / 2.0, m_imageHeight / 2.0}; }
    // Turns the crop to `degrees` about its own centre.
    void setAngleKeepingCenter(double degrees);
    // The parameters s for which origin + s*dir (model space) lies inside the image; false when none.
    bool insideInterval(const NRFPoint2D& origin, const NRFPoint2D& dir, double& lo, double& hi) const;
    void changed();

    NRFCropRect2DCallbacks* m_callbacks;
    NRFAffineTransform m_view;
    double m_imageWidth = 1.0, m_imageHeight = 1.0;
    NRFRect2D m_rect{0.0, 0.0, 1.0, 1.0}; // model space
    double m_angle = 0.0;
    double m_constraintWidth = 1.0, m_constraintHeight = 1.0;
    bool m_constrained = false;

    // The gesture under way.
    NRFCropArea m_area = NRFCropArea::None;
    NRFPoint2D m_pressImage;
    NRFRect2D m_pressRect;
    double m_pressAngle = 0.0, m_thetaStart = 0.0;
    ResizeableRect m_resize;
};

// True in `yes` when the record's crop differs from the full image. Answered only for file types that
// can carry a crop; for others `yes` is false and the result kNRFErrParam.
NRFErr NRFIsImageCropped(NRFImageInfoRec* record, bool& yes);
