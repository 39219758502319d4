#include "CropOverlay.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {

// The crop turns at most this far either way, as `lumo crop` takes it.
constexpr double kMaximumAngle = 45.0;

NRFAffineTransform toModelView(const QTransform& t) {
    return NRFAffineTransform(t.m11(), t.m12(), t.m21(), t.m22(), t.dx(), t.dy());
}

QPolygonF windowCorners(const NRFCropRect2D& model, const QTransform& imageToWindow) {
    QPolygonF polygon;
    for (const NRFPoint2D& p : model.imageCorners())
        polygon << imageToWindow.map(QPointF(p.x, p.y));
    return polygon;
}

} // namespace

const std::vector<CropAspect>& cropAspects() {
    static const std::vector<CropAspect> aspects = {
        {"Free"},
        {"Original", 0.0, 0.0, true, false},
        {"Original, turned", 0.0, 0.0, true, true},
        {"1:1", 1.0, 1.0},
        {"4:3", 4.0, 3.0},
        {"3:4", 3.0, 4.0},
        {"3:2", 3.0, 2.0},
        {"2:3", 2.0, 3.0},
        {"16:9", 16.0, 9.0},
        {"9:16", 9.0, 16.0},
    };
    return aspects;
}

CCropOverlay::CCropOverlay(QWidget* parent) : QWidget(parent), m_model(this) {
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    setMouseTracking(true);
}

CCropOverlay::~CCropOverlay() = default;

void CCropOverlay::begin(const NRFNormalizedCrop& crop, double width, double height, int rotationCode) {
    m_width = width;
    m_height = height;
    m_rotation = rotationCode;
    m_dragging = false;
    m_model.setConstraint(crop.constraintWidth, crop.constraintHeight, crop.constrained);
    m_model.setNormalizedCrop(crop, width, height);
    m_aspect = 0;
    if (crop.constrained) {
        // The stored ratio is the unturned image's; the list speaks of the picture as it is seen.
        const bool turned = (rotationCode & 1) != 0;
        const double seen = turned ? crop.constraintHeight / crop.constraintWidth
                                   : crop.constraintWidth / crop.constraintHeight;
        const auto& aspects = cropAspects();
        for (std::size_t i = 1; i < aspects.size(); ++i) {
            const CropAspect& a = aspects[i];
            if (a.original)
                continue;
            if (std::abs(a.width / a.height - seen) < 1e-6)
                m_aspect = static_cast<int>(i);
        }
    }
    update();
}

void CCropOverlay::setImageToWindow(const QTransform& imageToWindow) {
    m_imageToWindow = imageToWindow;
    m_model.setViewTransform(toModelView(imageToWindow));
    update();
}

void CCropOverlay::setAspect(int index) {
    const auto& aspects = cropAspects();
    if (index < 0 || index >= static_cast<int>(aspects.size()))
        return;
    m_aspect = index;
    NRFNormalizedCrop crop = m_model.getNormalizedCrop();
    const CropAspect& a = aspects[static_cast<std::size_t>(index)];
    if (index == 0) {
        crop.constrained = false;
        crop.constraintWidth = crop.constraintHeight = 1.0;
        m_model.setConstraint(1.0, 1.0, false);
        m_model.setNormalizedCrop(crop, m_width, m_height);
        cropRectChanged();
        return;
    }
    // The ratio of the unturned image's model rectangle: the original is the image's own, a named one
    // is turned with the picture.
    double ratio = 1.0;
    if (a.original)
        ratio = a.portrait ? m_height / m_width : m_width / m_height;
    else
        ratio = (m_rotation & 1) ? a.height / a.width : a.width / a.height;
    const double w = (crop.right - crop.left) * m_width, h = (crop.bottom - crop.top) * m_height;
    double newW = w, newH = h;
    if (w / h > ratio)
        newW = h * ratio;
    else
        newH = w / ratio;
    const double cx = (crop.left + crop.right) / 2.0, cy = (crop.top + crop.bottom) / 2.0;
    crop.left = cx - newW / 2.0 / m_width;
    crop.right = cx + newW / 2.0 / m_width;
    crop.top = cy - newH / 2.0 / m_height;
    crop.bottom = cy + newH / 2.0 / m_height;
    crop.constrained = true;
    crop.constraintWidth = ratio;
    crop.constraintHeight = 1.0;
    if (!a.original) {
        const bool turned = (m_rotation & 1) != 0;
        crop.constraintWidth = turned ? a.height : a.width;
        crop.constraintHeight = turned ? a.width : a.height;
    }
    m_model.setConstraint(crop.constraintWidth, crop.constraintHeight, true);
    m_model.setNormalizedCrop(crop, m_width, m_height);
    cropRectChanged();
}

void CCropOverlay::nextAspect() {
    setAspect((m_aspect + 1) % static_cast<int>(cropAspects().size()));
}

void CCropOverlay::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPolygonF crop = windowCorners(m_model, m_imageToWindow);
    const QPolygonF image = m_imageToWindow.map(QPolygonF(QRectF(0.0, 0.0, m_width, m_height)));

    // The picture outside the crop darkened.
    QPainterPath outside;
    outside.addPolygon(image);
    outside.closeSubpath();
    QPainterPath inside;
    inside.addPolygon(crop);
    inside.closeSubpath();
    painter.fillPath(outside.subtracted(inside), QColor(0, 0, 0, 150));

    // The thirds, the outline and the handles.
    painter.setPen(QPen(QColor(255, 255, 255, 90), 1.0));
    for (int i = 1; i < 3; ++i) {
        const double f = i / 3.0;
        painter.drawLine(crop[0] + (crop[1] - crop[0]) * f, crop[3] + (crop[2] - crop[3]) * f);
        painter.drawLine(crop[0] + (crop[3] - crop[0]) * f, crop[1] + (crop[2] - crop[1]) * f);
    }
    painter.setPen(QPen(Qt::white, 1.5));
    painter.drawPolygon(crop);
    painter.setBrush(Qt::white);
    painter.setPen(QPen(Qt::black, 1.0));
    const double side = NRFCropRect2D::kHandleRadius * 1.2;
    for (int i = 0; i < 4; ++i) {
        const QPointF corner = crop[i];
        const QPointF middle = (crop[i] + crop[(i + 1) % 4]) / 2.0;
        for (const QPointF& p : {corner, middle})
            painter.drawRect(QRectF(p.x() - side / 2.0, p.y() - side / 2.0, side, side));
    }

    // The ratio kept, in a corner.
    const CropAspect& a = cropAspects()[static_cast<std::size_t>(m_aspect)];
    painter.setPen(QColor(230, 230, 230));
    painter.drawText(rect().adjusted(8, 4, -8, -4), Qt::AlignTop | Qt::AlignLeft,
                     tr("Crop: %1 (A: next ratio, Enter: save, Esc: cancel, Del: remove crop)")
                         .arg(QString::fromUtf8(a.label)));
}

void CCropOverlay::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    const QPointF p = event->position();
    m_dragging = true;
    m_model.mousePressed({p.x(), p.y()});
    event->accept();
}

void CCropOverlay::mouseMoveEvent(QMouseEvent* event) {
    const QPointF p = event->position();
    if (m_dragging) {
        m_model.mouseDragged({p.x(), p.y()});
        if (std::abs(m_model.angle()) > kMaximumAngle) {
            // Turned further, the photo wants a rotation, not a crop angle.
            NRFNormalizedCrop crop = m_model.getNormalizedCrop();
            crop.angle = std::clamp(crop.angle, -kMaximumAngle, kMaximumAngle);
            m_model.setNormalizedCrop(crop, m_width, m_height);
        }
    } else
        m_model.mouseMoved({p.x(), p.y()});
    event->accept();
}

void CCropOverlay::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !m_dragging) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    const QPointF p = event->position();
    m_dragging = false;
    m_model.mouseReleased({p.x(), p.y()});
    event->accept();
}

void CCropOverlay::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    const auto& aspects = cropAspects();
    for (std::size_t i = 0; i < aspects.size(); ++i) {
        QAction* action = menu.addAction(QString::fromUtf8(aspects[i].label));
        action->setCheckable(true);
        action->setChecked(static_cast<int>(i) == m_aspect);
        action->setData(static_cast<int>(i));
    }
    if (QAction* chosen = menu.exec(event->globalPos()))
        setAspect(chosen->data().toInt());
}

void CCropOverlay::cropRectChanged() {
    update();
    Q_EMIT cropChanged();
}

void CCropOverlay::showCursorFor(NRFCropArea area) {
    switch (area) {
    case NRFCropArea::Center:
        setCursor(Qt::SizeAllCursor);
        break;
    case NRFCropArea::TopLeft:
    case NRFCropArea::BottomRight:
        setCursor(Qt::SizeFDiagCursor);
        break;
    case NRFCropArea::TopRight:
    case NRFCropArea::BottomLeft:
        setCursor(Qt::SizeBDiagCursor);
        break;
    case NRFCropArea::Top:
    case NRFCropArea::Bottom:
        setCursor(Qt::SizeVerCursor);
        break;
    case NRFCropArea::Left:
    case NRFCropArea::Right:
        setCursor(Qt::SizeHorCursor);
        break;
    case NRFCropArea::RotateTopLeft:
    case NRFCropArea::RotateTopRight:
    case NRFCropArea::RotateBottomRight:
    case NRFCropArea::RotateBottomLeft:
        setCursor(Qt::CrossCursor);
        break;
    case NRFCropArea::None:
        unsetCursor();
        break;
    }
}
