#include "NRF/NRFCropping.h"

#include "app/LumoLog.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

// Rounding noise below this (in pixels or fractions) is not a change.
constexpr double kTolerance = 1e-9;

double degrees(double radians) {
    return radians * 180.0 / std::numbers::pi;
}

double radians(double degrees) {
    return degrees * std::numbers::pi / 180.0;
}

// An angle brought into (-180, 180].
double normalizeAngle(double a) {
    a = std::fmod(a, 360.0);
    if (a > 180.0)
        a -= 360.0;
    else if (a <= -180.0)
        a += 360.0;
    return a;
}

double distanceToSegment(const NRFPoint2D& p, const NRFPoint2D& a, const NRFPoint2D& b) {
    const NRFPoint2D ab = b - a;
    const double len2 = ab.x * ab.x + ab.y * ab.y;
    double t = len2 > 0.0 ? ((p.x - a.x) * ab.x + (p.y - a.y) * ab.y) / len2 : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    return (p - (a + ab * t)).length();
}

// The angle of `p` seen from `center`, in degrees.
double thetaOf(const NRFPoint2D& p, const NRFPoint2D& center) {
    return degrees(std::atan2(p.y - center.y, p.x - center.x));
}

bool isFiniteValue(double v) {
    return std::isfinite(v);
}

} // namespace

double NRFPoint2D::length() const {
    return std::hypot(x, y);
}

NRFRect2D NRFRect2D::fromPoints(const NRFPoint2D& a, const NRFPoint2D& b) {
    return {std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)};
}

std::array<NRFPoint2D, 4> NRFRect2D::corners() const {
    return {NRFPoint2D{left, top}, NRFPoint2D{right, top}, NRFPoint2D{right, bottom},
            NRFPoint2D{left, bottom}};
}

void ResizeableRect::setClipPoints(const NRFPoint2D& minClip, const NRFPoint2D& maxClip) {
    m_minClip = {std::min(minClip.x, maxClip.x), std::min(minClip.y, maxClip.y)};
    m_maxClip = {std::max(minClip.x, maxClip.x), std::max(minClip.y, maxClip.y)};
}

NRFPoint2D ResizeableRect::clipPoint(const NRFPoint2D& p) const {
    return {std::clamp(p.x, m_minClip.x, m_maxClip.x), std::clamp(p.y, m_minClip.y, m_maxClip.y)};
}

NRFAffineTransform NRFAffineTransform::make(double scale, double degrees, double tx, double ty) {
    const double c = std::cos(radians(degrees)), s = std::sin(radians(degrees));
    return {scale * c, scale * s, -scale * s, scale * c, tx, ty};
}

NRFAffineTransform NRFAffineTransform::rotationAbout(double degrees, const NRFPoint2D& center) {
    return make(1.0, 0.0, -center.x, -center.y).then(make(1.0, degrees, center.x, center.y));
}

NRFAffineTransform NRFAffineTransform::then(const NRFAffineTransform& n) const {
    return {n.m_a * m_a + n.m_c * m_b,
            n.m_b * m_a + n.m_d * m_b,
            n.m_a * m_c + n.m_c * m_d,
            n.m_b * m_c + n.m_d * m_d,
            n.m_a * m_tx + n.m_c * m_ty + n.m_tx,
            n.m_b * m_tx + n.m_d * m_ty + n.m_ty};
}

bool NRFAffineTransform::inverse(NRFAffineTransform& out) const {
    const double det = determinant();
    if (!isFiniteValue(det) || std::fabs(det) < 1e-12) {
        LUMO_LOG("Unable to invert transformation!");
        out = NRFAffineTransform();
        return false;
    }
    const double a = m_d / det, b = -m_b / det, c = -m_c / det, d = m_a / det;
    out = NRFAffineTransform(a, b, c, d, -(a * m_tx + c * m_ty), -(b * m_tx + d * m_ty));
    return true;
}

const char* NRFCropAreaName(NRFCropArea area) {
    switch (area) {
    case NRFCropArea::None:
        return "none";
    case NRFCropArea::Center:
        return "center";
    case NRFCropArea::TopLeft:
        return "top-left";
    case NRFCropArea::Top:
        return "top";
    case NRFCropArea::TopRight:
        return "top-right";
    case NRFCropArea::Right:
        return "right";
    case NRFCropArea::BottomRight:
        return "bottom-right";
    case NRFCropArea::Bottom:
        return "bottom";
    case NRFCropArea::BottomLeft:
        return "bottom-left";
    case NRFCropArea::Left:
        return "left";
    case NRFCropArea::RotateTopLeft:
        return "rotate top-left";
    case NRFCropArea::RotateTopRight:
        return "rotate top-right";
    case NRFCropArea::RotateBottomRight:
        return "rotate bottom-right";
    case NRFCropArea::RotateBottomLeft:
        return "rotate bottom-left";
    }
    return "none";
}

bool NRFCropAreaIsResize(NRFCropArea area) {
    return area >= NRFCropArea::TopLeft && area <= NRFCropArea::Left;
}

bool NRFCropAreaIsRotate(NRFCropArea area) {
    return area >= NRFCropArea::RotateTopLeft;
}

namespace {

// The resize handle for a moving corner on this side of the fixed one; an edge keeps to its axis.
NRFCropArea resizeAreaFor(NRFCropArea area, double dx, double dy) {
    switch (area) {
    case NRFCropArea::Left:
    case NRFCropArea::Right:
        return dx < 0 ? NRFCropArea::Left : NRFCropArea::Right;
    case NRFCropArea::Top:
    case NRFCropArea::Bottom:
        return dy < 0 ? NRFCropArea::Top : NRFCropArea::Bottom;
    default:
        if (dy < 0)
            return dx < 0 ? NRFCropArea::TopLeft : NRFCropArea::TopRight;
        return dx < 0 ? NRFCropArea::BottomLeft : NRFCropArea::BottomRight;
    }
}

} // namespace

void NRFCropRect2D::setNormalizedCrop(const NRFNormalizedCrop& crop, double width, double height) {
    m_imageWidth = isFiniteValue(width) && width > 0.0 ? width : 1.0;
    m_imageHeight = isFiniteValue(height) && height > 0.0 ? height : 1.0;
    NRFNormalizedCrop c = crop;
    // A long, thin crop turned near 45 degrees fits the image while its upright form reaches past the
    // image's edges, so fractions outside 0..1 are taken as they are; keepInside has the last word.
    const bool valid = isFiniteValue(c.left) && isFiniteValue(c.top) && isFiniteValue(c.right) &&
                       isFiniteValue(c.bottom) && c.left < c.right && c.top < c.bottom;
    if (!valid) {
        LUMO_LOG("NRFCropRect2D::setNormalizedCrop() ignoring a bad %s", NRFDescribeCrop(crop).c_str());
        c.left = c.top = 0.0;
        c.right = c.bottom = 1.0;
    }
    m_angle = isFiniteValue(c.angle) ? normalizeAngle(c.angle) : 0.0;
    setConstraint(c.constraintWidth, c.constraintHeight, c.constrained);

    const NRFPoint2D centerImage{(c.left + c.right) / 2.0 * m_imageWidth,
                                 (c.top + c.bottom) / 2.0 * m_imageHeight};
    const double w = (c.right - c.left) * m_imageWidth, h = (c.bottom - c.top) * m_imageHeight;
    const NRFPoint2D center = imageToModel(centerImage);
    m_rect = {center.x - w / 2.0, center.y - h / 2.0, center.x + w / 2.0, center.y + h / 2.0};
    keepInside();
    changed();
}

void NRFCropRect2D::setInitialPosition(const NRFRect2D& rect, double width, double height) {
    m_imageWidth = isFiniteValue(width) && width > 0.0 ? width : 1.0;
    m_imageHeight = isFiniteValue(height) && height > 0.0 ? height : 1.0;
    m_angle = 0.0;
    m_rect = NRFRect2D::fromPoints({rect.left, rect.top}, {rect.right, rect.bottom});
    if (!isFiniteValue(m_rect.left) || !isFiniteValue(m_rect.top) || !isFiniteValue(m_rect.right) ||
        !isFiniteValue(m_rect.bottom) || m_rect.width() < kMinimumSide || m_rect.height() < kMinimumSide)
        m_rect = {0.0, 0.0, m_imageWidth, m_imageHeight};
    keepInside();
    changed();
}

NRFNormalizedCrop NRFCropRect2D::getNormalizedCrop() const {
    NRFNormalizedCrop crop;
    const NRFPoint2D center = toImage().apply(m_rect.center());
    const double w = m_rect.width(), h = m_rect.height();
    // Rounding noise must not carry a full-image crop past the image's edges.
    const auto fraction = [](double v) {
        return v < 0.0 && v > -kTolerance ? 0.0 : (v > 1.0 && v < 1.0 + kTolerance ? 1.0 : v);
    };
    crop.left = fraction((center.x - w / 2.0) / m_imageWidth);
    crop.right = fraction((center.x + w / 2.0) / m_imageWidth);
    crop.top = fraction((center.y - h / 2.0) / m_imageHeight);
    crop.bottom = fraction((center.y + h / 2.0) / m_imageHeight);
    crop.angle = m_angle;
    crop.constraintWidth = m_constraintWidth;
    crop.constraintHeight = m_constraintHeight;
    crop.constrained = m_constrained;
    return crop;
}

void NRFCropRect2D::setConstraint(double width, double height, bool constrained) {
    const bool usable = isFiniteValue(width) && isFiniteValue(height) && width > 0.0 && height > 0.0;
    m_constraintWidth = usable ? width : 1.0;
    m_constraintHeight = usable ? height : 1.0;
    m_constrained = constrained && usable;
}

NRFAffineTransform NRFCropRect2D::toImage() const {
    return NRFAffineTransform::rotationAbout(m_angle, imageCenter());
}

std::array<NRFPoint2D, 4> NRFCropRect2D::imageCorners() const {
    const NRFAffineTransform t = toImage();
    std::array<NRFPoint2D, 4> corners = m_rect.corners();
    for (NRFPoint2D& p : corners)
        p = t.apply(p);
    return corners;
}

NRFPoint2D NRFCropRect2D::screenToImage(const NRFPoint2D& screen) const {
    NRFAffineTransform inverse;
    m_view.inverse(inverse);
    return inverse.apply(screen);
}

NRFPoint2D NRFCropRect2D::imageToModel(const NRFPoint2D& image) const {
    NRFAffineTransform inverse;
    toImage().inverse(inverse);
    return inverse.apply(image);
}

void NRFCropRect2D::setAngleKeepingCenter(double degrees) {
    const NRFPoint2D centerImage = toImage().apply(m_rect.center());
    m_angle = normalizeAngle(degrees);
    const NRFPoint2D center = imageToModel(centerImage);
    m_rect = m_rect.offset(center - m_rect.center());
}

void NRFCropRect2D::keepInside() {
    const auto extents = [this] {
        const std::array<NRFPoint2D, 4> c = imageCorners();
        NRFRect2D e{c[0].x, c[0].y, c[0].x, c[0].y};
        for (const NRFPoint2D& p : c) {
            e.left = std::min(e.left, p.x);
            e.right = std::max(e.right, p.x);
            e.top = std::min(e.top, p.y);
            e.bottom = std::max(e.bottom, p.y);
        }
        return e;
    };

    // The extents are continuous: a crop of the whole image spans exactly width x height.
    NRFRect2D e = extents();
    bool clipped = false;
    if (e.width() > m_imageWidth + kTolerance || e.height() > m_imageHeight + kTolerance) {
        LUMO_LOG("Crop rect didn't fit, needed scaling");
        const double s = std::min(m_imageWidth / e.width(), m_imageHeight / e.height());
        const NRFPoint2D c = m_rect.center();
        const double w = m_rect.width() * s / 2.0, h = m_rect.height() * s / 2.0;
        m_rect = {c.x - w, c.y - h, c.x + w, c.y + h};
        e = extents();
        clipped = true;
    }

    NRFPoint2D nudge;
    if (e.left < -kTolerance)
        nudge.x = -e.left;
    else if (e.right > m_imageWidth + kTolerance)
        nudge.x = m_imageWidth - e.right;
    if (e.top < -kTolerance)
        nudge.y = -e.top;
    else if (e.bottom > m_imageHeight + kTolerance)
        nudge.y = m_imageHeight - e.bottom;
    if (nudge.x != 0.0)
        LUMO_LOG("Nudged x by %f", nudge.x);
    if (nudge.y != 0.0)
        LUMO_LOG("Nudged y by %f", nudge.y);

    if (nudge.x != 0.0 || nudge.y != 0.0) {
        NRFAffineTransform inverse;
        toImage().inverse(inverse);
        m_rect = m_rect.offset(inverse.applyToVector(nudge));
        clipped = true;
    }
    if (clipped)
        LUMO_LOG("angle: %f (extents needed clipping)", m_angle);
    else
        LUMO_LOG("angle: %f (no clipping)", m_angle);
}

bool NRFCropRect2D::insideInterval(const NRFPoint2D& origin, const NRFPoint2D& dir, double& lo,
                                   double& hi) const {
    const NRFAffineTransform t = toImage();
    const NRFPoint2D q = t.apply(origin), v = t.applyToVector(dir);
    lo = -std::numeric_limits<double>::infinity();
    hi = std::numeric_limits<double>::infinity();
    const auto limit = [&](double q0, double v0, double size) {
        if (std::fabs(v0) < 1e-12)
            return q0 >= -kTolerance && q0 <= size + kTolerance;
        const double a = -q0 / v0, b = (size - q0) / v0;
        lo = std::max(lo, std::min(a, b));
        hi = std::min(hi, std::max(a, b));
        return true;
    };
    return limit(q.x, v.x, m_imageWidth) && limit(q.y, v.y, m_imageHeight) && lo <= hi;
}

void NRFCropRect2D::getMinMaxClipPoints(const NRFPoint2D& fixed, NRFPoint2D& minClip,
                                        NRFPoint2D& maxClip) const {
    // Each moving corner that shares a coordinate with the fixed one may only travel along that line
    // while it stays inside; the moving corner itself is held inside by performResizing.
    minClip = maxClip = fixed;
    double lo = 0.0, hi = 0.0;
    if (insideInterval(fixed, {1.0, 0.0}, lo, hi)) {
        minClip.x = fixed.x + lo;
        maxClip.x = fixed.x + hi;
    }
    if (insideInterval(fixed, {0.0, 1.0}, lo, hi)) {
        minClip.y = fixed.y + lo;
        maxClip.y = fixed.y + hi;
    }
}

NRFPoint2D NRFCropRect2D::constrainedResize(const NRFPoint2D& fixed, const NRFPoint2D& proposed,
                                            NRFCropArea driving) const {
    const double ratio = m_constraintWidth / m_constraintHeight;
    const NRFPoint2D d = proposed - fixed;
    const double sx = d.x < 0.0 ? -1.0 : 1.0, sy = d.y < 0.0 ? -1.0 : 1.0;
    double h = 0.0;
    if (driving == NRFCropArea::Left || driving == NRFCropArea::Right)
        h = std::fabs(d.x) / ratio;
    else if (driving == NRFCropArea::Top || driving == NRFCropArea::Bottom)
        h = std::fabs(d.y);
    else
        h = std::max(std::fabs(d.x) / ratio, std::fabs(d.y));

    // The moving corner and the two corners beside it must all stay inside.
    const NRFPoint2D dir{sx * ratio, sy};
    double lo = 0.0, hi = 0.0, most = h;
    for (const NRFPoint2D& way : {dir, NRFPoint2D{0.0, sy}, NRFPoint2D{sx * ratio, 0.0}})
        most = insideInterval(fixed, way, lo, hi) ? std::min(most, hi) : 0.0;
    h = std::max(std::min(h, most), kMinimumSide / std::min(ratio, 1.0));
    return fixed + dir * h;
}

void NRFCropRect2D::performResizing(const NRFPoint2D& model) {
    if (!NRFCropAreaIsResize(m_area))
        return;
    const NRFPoint2D fixed = m_resize.fixedCorner();
    NRFPoint2D q = model;
    const bool horizontal = m_area == NRFCropArea::Left || m_area == NRFCropArea::Right;
    const bool vertical = m_area == NRFCropArea::Top || m_area == NRFCropArea::Bottom;

    if (m_constrained) {
        if (horizontal)
            q.y = m_pressRect.bottom;
        else if (vertical)
            q.x = m_pressRect.right;
        q = constrainedResize(fixed, q, m_area);
    } else if (horizontal || vertical) {
        // An edge: both of its corners travel along their own lines.
        const NRFPoint2D way = horizontal ? NRFPoint2D{1.0, 0.0} : NRFPoint2D{0.0, 1.0};
        const NRFPoint2D other =
            horizontal ? NRFPoint2D{fixed.x, m_pressRect.bottom} : NRFPoint2D{m_pressRect.right, fixed.y};
        double lo1 = 0.0, hi1 = 0.0, lo2 = 0.0, hi2 = 0.0;
        const bool ok = insideInterval(fixed, way, lo1, hi1) && insideInterval(other, way, lo2, hi2);
        const double lo = ok ? std::max(lo1, lo2) : 0.0, hi = ok ? std::min(hi1, hi2) : 0.0;
        if (horizontal)
            q = {fixed.x + std::clamp(model.x - fixed.x, std::min(lo, 0.0), std::max(hi, 0.0)), other.y};
        else
            q = {other.x, fixed.y + std::clamp(model.y - fixed.y, std::min(lo, 0.0), std::max(hi, 0.0))};
    } else {
        q = m_resize.clipPoint(model);
        double lo = 0.0, hi = 0.0;
        if (insideInterval(fixed, q - fixed, lo, hi) && hi < 1.0)
            q = fixed + (q - fixed) * std::max(hi, 0.0);
    }

    // Never thinner than the smallest side; crossing the fixed corner turns the handle around.
    NRFPoint2D d = q - fixed;
    if (!vertical && std::fabs(d.x) < kMinimumSide)
        d.x = d.x < 0.0 ? -kMinimumSide : kMinimumSide;
    if (!horizontal && std::fabs(d.y) < kMinimumSide)
        d.y = d.y < 0.0 ? -kMinimumSide : kMinimumSide;
    const NRFCropArea area = resizeAreaFor(m_area, d.x, d.y);
    if (area != m_area) {
        LUMO_LOG("changed resize type from %s to %s", NRFCropAreaName(m_area), NRFCropAreaName(area));
        m_area = area;
    }
    m_rect = m_resize.rectTo(fixed + d);
    keepInside();
    changed();
}

NRFCropArea NRFCropRect2D::characterizeMouseLocation(const NRFPoint2D& screen) const {
    std::array<NRFPoint2D, 4> corners = imageCorners();
    for (NRFPoint2D& p : corners)
        p = m_view.apply(p);

    static constexpr NRFCropArea kCorners[4] = {NRFCropArea::TopLeft, NRFCropArea::TopRight,
                                                NRFCropArea::BottomRight, NRFCropArea::BottomLeft};
    static constexpr NRFCropArea kEdges[4] = {NRFCropArea::Top, NRFCropArea::Right, NRFCropArea::Bottom,
                                              NRFCropArea::Left};
    static constexpr NRFCropArea kRotate[4] = {NRFCropArea::RotateTopLeft, NRFCropArea::RotateTopRight,
                                               NRFCropArea::RotateBottomRight, NRFCropArea::RotateBottomLeft};
    for (int i = 0; i < 4; ++i)
        if ((screen - corners[i]).length() <= kHandleRadius)
            return kCorners[i];
    for (int i = 0; i < 4; ++i)
        if (distanceToSegment(screen, corners[i], corners[(i + 1) % 4]) <= kHandleRadius)
            return kEdges[i];
    if (m_rect.contains(imageToModel(screenToImage(screen))))
        return NRFCropArea::Center;
    for (int i = 0; i < 4; ++i)
        if ((screen - corners[i]).length() <= kRotateRadius)
            return kRotate[i];
    return NRFCropArea::None;
}

void NRFCropRect2D::mouseMoved(const NRFPoint2D& screen) {
    if (m_callbacks)
        m_callbacks->showCursorFor(characterizeMouseLocation(screen));
}

void NRFCropRect2D::mousePressed(const NRFPoint2D& screen) {
    if (!isFiniteValue(screen.x) || !isFiniteValue(screen.y))
        return;
    m_area = characterizeMouseLocation(screen);
    m_pressImage = screenToImage(screen);
    m_pressRect = m_rect;
    m_pressAngle = m_angle;

    if (NRFCropAreaIsResize(m_area)) {
        LUMO_LOG("Starting resize");
        const NRFRect2D& r = m_rect;
        NRFPoint2D fixed;
        switch (m_area) {
        case NRFCropArea::TopLeft:
            fixed = {r.right, r.bottom};
            break;
        case NRFCropArea::TopRight:
            fixed = {r.left, r.bottom};
            break;
        case NRFCropArea::BottomRight:
            fixed = {r.left, r.top};
            break;
        case NRFCropArea::BottomLeft:
            fixed = {r.right, r.top};
            break;
        case NRFCropArea::Top:
            fixed = {r.left, r.bottom};
            break;
        case NRFCropArea::Right:
        case NRFCropArea::Bottom:
            fixed = {r.left, r.top};
            break;
        case NRFCropArea::Left:
            fixed = {r.right, r.top};
            break;
        default:
            break;
        }
        m_resize.setFixedCorner(fixed);
        NRFPoint2D minClip, maxClip;
        getMinMaxClipPoints(fixed, minClip, maxClip);
        m_resize.setClipPoints(minClip, maxClip);
    } else if (m_area == NRFCropArea::Center) {
        LUMO_LOG("Starting drag");
    } else if (NRFCropAreaIsRotate(m_area)) {
        m_thetaStart = thetaOf(m_pressImage, toImage().apply(m_rect.center()));
        LUMO_LOG("Starting rotate");
        LUMO_LOG("thetaStart = %.1f", m_thetaStart);
    }
}

void NRFCropRect2D::mouseDragged(const NRFPoint2D& screen) {
    if (!isFiniteValue(screen.x) || !isFiniteValue(screen.y))
        return;
    const NRFPoint2D p = screenToImage(screen);
    if (m_area == NRFCropArea::Center) {
        // Each step starts again from where the press found the crop, so a drag back undoes a stop
        // at the edge.
        NRFAffineTransform inverse;
        toImage().inverse(inverse);
        m_rect = m_pressRect.offset(inverse.applyToVector(p - m_pressImage));
        keepInside();
        changed();
    } else if (NRFCropAreaIsResize(m_area)) {
        performResizing(imageToModel(p));
    } else if (NRFCropAreaIsRotate(m_area)) {
        m_rect = m_pressRect;
        m_angle = m_pressAngle;
        const double theta = thetaOf(p, toImage().apply(m_rect.center()));
        setAngleKeepingCenter(m_pressAngle + (theta - m_thetaStart));
        keepInside();
        changed();
    }
}

void NRFCropRect2D::mouseReleased(const NRFPoint2D& screen) {
    if (NRFCropAreaIsRotate(m_area)) {
        // Seen from where the crop's centre was when the rotation started.
        NRFAffineTransform pressToImage = NRFAffineTransform::rotationAbout(m_pressAngle, imageCenter());
        LUMO_LOG("thetaEnd = %.1f", thetaOf(screenToImage(screen), pressToImage.apply(m_pressRect.center())));
    }
    m_area = NRFCropArea::None;
}

void NRFCropRect2D::changed() {
    if (m_callbacks)
        m_callbacks->cropRectChanged();
}

NRFErr NRFIsImageCropped(NRFImageInfoRec* record, bool& yes) {
    yes = false;
    bool canCrop = false;
    if (const NRFErr err = NRFCanCrop(record, &canCrop); err != kNRFErrNone)
        return err;
    if (!canCrop)
        return kNRFErrParam;
    const NRFNormalizedCrop& c = record->m_crop;
    yes = c.left > kTolerance || c.top > kTolerance || c.right < 1.0 - kTolerance ||
          c.bottom < 1.0 - kTolerance || std::fabs(c.angle) > kTolerance;
    return kNRFErrNone;
}
