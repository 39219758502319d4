#include "PreviewWindow.h"

#include "CropOverlay.h"
#include "DisplayColorTransform.h"
#include "ItemOperations.h"

#include "NRF/NRFImageInfo.h"
#include "cache/LumoCache.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <utility>

namespace {

const QColor kBackground(24, 24, 24);
const QColor kPlaceholderText(150, 150, 150);
// Room around the picture while cropping, so that the handles and the turning corners can be reached.
constexpr int kCropMargin = 32;
// Shift+arrow pans a tenth of the window.
constexpr double kPanStep = 0.1;

// Preview windows queue their orders under document numbers of their own, below the contact sheets'.
int nextPreviewDocument() {
    static std::atomic<int> next{-1};
    return next.fetch_sub(1);
}

// Where a point of the stored (unturned) image of `width` x `height` lands in the upright picture:
// mirrored first when the code says so, then turned clockwise a quarter at a time.
QTransform imageToUpright(int code, double width, double height) {
    QTransform t;
    if (code & 4)
        t = t * QTransform(-1.0, 0.0, 0.0, 1.0, width, 0.0);
    for (int turn = 0; turn < (code & 3); ++turn) {
        t = t * QTransform(0.0, 1.0, -1.0, 0.0, height, 0.0); // (x, y) -> (height - y, x)
        std::swap(width, height);
    }
    return t;
}

bool usableCrop(const NRFNormalizedCrop& c) {
    return std::isfinite(c.left) && std::isfinite(c.top) && std::isfinite(c.right) &&
           std::isfinite(c.bottom) && std::isfinite(c.angle) && c.left < c.right && c.top < c.bottom;
}

// The crop the picture is shown with: the photo's, or for a raw shown through its embedded preview
// without one, the draft crop made on that preview.
NRFNormalizedCrop shownCrop(const DocumentItem& item) {
    const NRFImageInfoRef record = item.PrimaryRecord();
    if (!record)
        return {};
    return record->m_crop == NRFNormalizedCrop{} ? record->m_draftCrop : record->m_crop;
}

std::string valueText(const CILA::VObject& value) {
    switch (value.dataType()) {
    case CILA::VObject::DT_STR:
        return value.getstr();
    default:
        return value.toString();
    }
}

} // namespace

CPreviewWindow::CPreviewWindow(std::vector<DocumentItem::Ref> items, int index, QWidget* parent)
    : QWidget(parent), m_items(std::move(items)), m_doc(nextPreviewDocument()) {
    m_index = m_items.empty() ? 0 : std::clamp(index, 0, itemCount() - 1);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(160, 120);
    if (!parent)
        resize(1024, 768);
    if (const DocumentItem::Ref item = currentItem())
        setWindowTitle(QString::fromStdString(item->FileName()));
    watchCurrentItem();
    loadRecordIfNeeded();
    // Asked for once the caller has given the window its size.
    QTimer::singleShot(0, this, [this] {
        requestPicture();
        precacheNeighbours();
    });
}

CPreviewWindow::~CPreviewWindow() {
    m_itemConnection.disconnect();
    if (LumoCache* cache = LumoCache::instance())
        cache->cancel_document(m_doc);
}

DocumentItem::Ref CPreviewWindow::currentItem() const {
    return m_index >= 0 && m_index < itemCount() ? m_items[static_cast<std::size_t>(m_index)] : nullptr;
}

void CPreviewWindow::setIndex(int index) {
    if (m_items.empty())
        return;
    index = std::clamp(index, 0, itemCount() - 1);
    if (index == m_index)
        return;
    if (m_cropping)
        cancelCrop();
    m_index = index;
    m_image = QImage();
    m_error = false;
    m_errorText.clear();
    m_imagePath.clear();
    m_askedSize = 0;
    m_askedRotation = -1;
    m_pan = {};
    layoutPicture();
    if (const DocumentItem::Ref item = currentItem())
        setWindowTitle(QString::fromStdString(item->FileName()));
    watchCurrentItem();
    loadRecordIfNeeded();
    requestPicture();
    precacheNeighbours();
    update();
    Q_EMIT currentIndexChanged(index);
}

bool CPreviewWindow::isPictureShown() const {
    return !m_image.isNull() || m_error;
}

std::uint32_t CPreviewWindow::wantedSize() const {
    if (m_zoomed) {
        if (const DocumentItem::Ref item = currentItem()) {
            if (const NRFImageInfoRef record = item->PrimaryRecord()) {
                const std::uint32_t side = std::max(
                    {record->m_width, record->m_height, record->m_displayWidth, record->m_displayHeight});
                if (side > 0)
                    return side;
            }
        }
    }
    const double side = std::max(width(), height()) * devicePixelRatioF();
    return static_cast<std::uint32_t>(std::max(64.0, std::ceil(side)));
}

void CPreviewWindow::requestPicture() {
    const DocumentItem::Ref item = currentItem();
    LumoCache* cache = LumoCache::instance();
    if (!item || !cache)
        return;
    const std::uint32_t size = wantedSize();
    const int rotation = item->Rotation();
    if (size <= m_askedSize && rotation == m_askedRotation)
        return; // on its way, or here
    m_askedSize = size;
    m_askedRotation = rotation;
    const std::uint64_t serial = ++m_serial;
    LumoCache::Request request;
    request.path = item->FullPath();
    request.size = size;
    request.doc = m_doc;
    request.cell = m_index;
    const QPointer<CPreviewWindow> self(this);
    const std::string path = request.path;
    cache->submit_work_order(request, [self, serial, path, size](const LumoCachePicture& picture) {
        // On a cache worker: the conversion for the screen happens here, off the paint path.
        if (picture.cancelled)
            return;
        Arrival arrival;
        arrival.rotation = picture.rotation;
        if (picture.isError()) {
            arrival.error = true;
            arrival.errorText = QString::fromStdString(picture.errorText);
        } else if (picture.bitmap) {
            const auto transform = CDisplayColorTransform::forScreen();
            arrival.image = CDisplayColorTransform::toScreenImage(*picture.bitmap, transform.get());
            if (arrival.image.isNull())
                return;
        } else {
            return;
        }
        QMetaObject::invokeMethod(
            qApp,
            [self, serial, path, size, arrival = std::move(arrival)] {
                if (self)
                    self->pictureArrived(serial, path, size, arrival);
            },
            Qt::QueuedConnection);
    });
}

void CPreviewWindow::precacheNeighbours() {
    LumoCache* cache = LumoCache::instance();
    if (!cache)
        return;
    const std::uint32_t size = static_cast<std::uint32_t>(
        std::max(64.0, std::ceil(std::max(width(), height()) * devicePixelRatioF())));
    for (const int neighbour : {m_index + 1, m_index - 1}) {
        if (neighbour < 0 || neighbour >= itemCount() || !m_items[static_cast<std::size_t>(neighbour)])
            continue;
        LumoCache::Request request;
        request.path = m_items[static_cast<std::size_t>(neighbour)]->FullPath();
        request.size = size;
        request.hints = LumoCache::kHintPrecache;
        request.doc = m_doc;
        request.cell = neighbour;
        cache->submit_work_order(request, [](const LumoCachePicture&) {});
    }
}

void CPreviewWindow::loadRecordIfNeeded() {
    const DocumentItem::Ref item = currentItem();
    LumoCache* cache = LumoCache::instance();
    if (!item || !cache || item->IsLoaded())
        return;
    // The record (camera values, the photo's size for 100%) is read on a worker, never here.
    const QPointer<CPreviewWindow> self(this);
    cache->submit_task(item->FullPath(), m_doc, m_index, [self, item] {
        item->Load();
        QMetaObject::invokeMethod(
            qApp,
            [self, item] {
                if (self)
                    self->itemChanged(item.get());
            },
            Qt::QueuedConnection);
    });
}

void CPreviewWindow::watchCurrentItem() {
    m_itemConnection.disconnect();
    const DocumentItem::Ref item = currentItem();
    if (!item)
        return;
    const QPointer<CPreviewWindow> self(this);
    const DocumentItem* watched = item.get();
    // Changes are told on whichever thread made them.
    m_itemConnection = item->Changed.connect([self, watched](DocumentItem&) {
        QMetaObject::invokeMethod(
            qApp,
            [self, watched] {
                if (self)
                    self->itemChanged(watched);
            },
            Qt::QueuedConnection);
    });
}

void CPreviewWindow::pictureArrived(std::uint64_t serial, const std::string& path, std::uint32_t size,
                                    const Arrival& arrival) {
    const DocumentItem::Ref item = currentItem();
    if (!item || serial != m_serial || path != item->FullPath())
        return; // an older request's, or another photo's
    if (!m_image.isNull() && m_imagePath == path && arrival.rotation == m_rotation && !arrival.error &&
        std::max(arrival.image.width(), arrival.image.height()) < std::max(m_image.width(), m_image.height()))
        return; // a fast first stage after a better picture
    m_image = arrival.image;
    m_rotation = arrival.rotation;
    m_error = arrival.error;
    m_errorText = arrival.errorText;
    m_imagePath = path;
    m_imageSize = size;
    layoutPicture();
    update();
    Q_EMIT pictureShown();
}

void CPreviewWindow::itemChanged(const DocumentItem* item) {
    if (!item || item != currentItem().get())
        return;
    if (!m_cropping)
        layoutPicture();
    // A turned photo is asked for again; the picture shown stays until the new one comes.
    requestPicture();
    update();
}

void CPreviewWindow::layoutPicture() {
    m_bitmapToWindow = QTransform();
    m_shownRect = QRectF();
    if (m_image.isNull() || width() <= 0 || height() <= 0)
        return;
    const double uprightWidth = m_image.width(), uprightHeight = m_image.height();
    const bool turned = (m_rotation & 1) != 0;
    const double imageWidth = turned ? uprightHeight : uprightWidth;
    const double imageHeight = turned ? uprightWidth : uprightHeight;
    const QTransform toUpright = imageToUpright(m_rotation, imageWidth, imageHeight);

    // What is shown, in the picture's pixels: the whole picture, or the crop turned level.
    QPolygonF shown(QRectF(0.0, 0.0, uprightWidth, uprightHeight));
    double tilt = 0.0;
    const DocumentItem::Ref item = currentItem();
    if (!m_cropping && item) {
        const NRFNormalizedCrop crop = shownCrop(*item);
        if (crop != NRFNormalizedCrop{} && usableCrop(crop)) {
            const NRFRect2D model{crop.left * imageWidth, crop.top * imageHeight, crop.right * imageWidth,
                                  crop.bottom * imageHeight};
            const NRFAffineTransform toImage =
                NRFAffineTransform::rotationAbout(crop.angle, {imageWidth / 2.0, imageHeight / 2.0});
            shown.clear();
            for (const NRFPoint2D& corner : model.corners()) {
                const NRFPoint2D p = toImage.apply(corner);
                shown << toUpright.map(QPointF(p.x, p.y));
            }
            const QPointF edge = shown[1] - shown[0];
            const double phi = std::atan2(edge.y(), edge.x()) * 180.0 / M_PI;
            tilt = phi - 90.0 * std::round(phi / 90.0);
        }
    }
    const QPointF middle = shown.boundingRect().center();
    const QTransform level =
        QTransform().translate(middle.x(), middle.y()).rotate(-tilt).translate(-middle.x(), -middle.y());
    const QRectF box = level.map(shown).boundingRect();
    if (box.width() <= 0.0 || box.height() <= 0.0)
        return;

    const QRectF area = m_cropping
                            ? QRectF(rect()).adjusted(kCropMargin, kCropMargin, -kCropMargin, -kCropMargin)
                            : QRectF(rect());
    double scale = std::min(area.width() / box.width(), area.height() / box.height());
    if (m_zoomed) {
        // One pixel of the photo on one pixel of the screen, whatever size the picture came at.
        double photoSide = 0.0;
        if (item)
            if (const NRFImageInfoRef record = item->PrimaryRecord())
                photoSide = std::max(record->m_width, record->m_height);
        const double pictureSide = std::max(uprightWidth, uprightHeight);
        scale = (photoSide > 0.0 ? photoSide / pictureSide : 1.0) / devicePixelRatioF();
    }
    if (!(scale > 0.0))
        return;
    const QSizeF size = box.size() * scale;
    // Panning keeps the picture over the window where it is larger, and centred where it is not.
    const double roomX = std::max(0.0, (size.width() - width()) / 2.0);
    const double roomY = std::max(0.0, (size.height() - height()) / 2.0);
    m_pan = QPointF(std::clamp(m_pan.x(), -roomX, roomX), std::clamp(m_pan.y(), -roomY, roomY));
    const QPointF centre = area.center() + m_pan;
    m_bitmapToWindow = level * QTransform::fromTranslate(-box.center().x(), -box.center().y()) *
                       QTransform::fromScale(scale, scale) *
                       QTransform::fromTranslate(centre.x(), centre.y());
    m_shownRect =
        QRectF(centre - QPointF(size.width(), size.height()) / 2.0, size).intersected(QRectF(rect()));
    if (m_cropping && m_overlay)
        m_overlay->setImageToWindow(toUpright * m_bitmapToWindow);
}

void CPreviewWindow::pan(const QPointF& by) {
    m_pan += by;
    layoutPicture();
    update();
}

void CPreviewWindow::setZoomed(bool zoomed) {
    if (m_cropping || zoomed == m_zoomed)
        return;
    m_zoomed = zoomed;
    m_pan = {};
    layoutPicture();
    requestPicture();
    update();
}

void CPreviewWindow::setInfoShown(bool shown) {
    m_infoShown = shown;
    update();
}

QStringList CPreviewWindow::infoLines() const {
    QStringList lines;
    const DocumentItem::Ref item = currentItem();
    if (!item)
        return lines;
    lines << QString::fromStdString(item->FileName());
    const NRFImageInfoRef record = item->PrimaryRecord();
    if (!record)
        return lines;
    std::vector<std::pair<std::string, CILA::VObject>> fields;
    describeImageInfo(*record, fields);
    const auto find = [&fields](const char* key) -> const CILA::VObject* {
        for (const auto& [name, value] : fields)
            if (name == key)
                return &value;
        return nullptr;
    };
    const auto text = [&](const char* key) -> std::string {
        const CILA::VObject* value = find(key);
        return value ? valueText(*value) : std::string();
    };
    const auto add = [&lines](const QString& label, const std::string& value) {
        if (!value.empty())
            lines << label + QStringLiteral(": ") + QString::fromStdString(value);
    };

    std::string camera = text("model");
    const std::string make = text("make");
    if (!make.empty() && camera.rfind(make, 0) != 0)
        camera = camera.empty() ? make : make + " " + camera;
    add(tr("Camera"), camera);
    add(tr("Lens"), text("lens"));
    if (const CILA::VObject* exposure = find("exposureTime")) {
        // Short exposures as photographers write them: 1/250 s.
        const double seconds = exposure->getdouble();
        if (seconds > 0.0 && seconds < 0.25001)
            add(tr("Exposure"), "1/" + std::to_string(std::lround(1.0 / seconds)) + " s");
        else
            add(tr("Exposure"), valueText(*exposure) + " s");
    }
    if (find("fNumber"))
        add(tr("Aperture"), "f/" + text("fNumber"));
    add(tr("ISO"), text("iso"));
    if (find("focalLength")) {
        std::string focal = text("focalLength") + " mm";
        if (find("focalLength35"))
            focal += " (" + text("focalLength35") + " mm in 35 mm)";
        add(tr("Focal length"), focal);
    }
    std::string taken = text("captureTime");
    std::replace(taken.begin(), taken.end(), 'T', ' ');
    add(tr("Taken"), taken);
    if (record->m_width && record->m_height)
        add(tr("Size"), std::to_string(record->m_width) + " x " + std::to_string(record->m_height) +
                            " pixels, " + std::to_string((record->m_fileSize + 1023) / 1024) + " KB");
    add(tr("Rating"), std::to_string(item->Rating()));
    add(tr("Tag"), item->Tag() ? "tagged" : "not tagged");
    add(tr("Colour class"), item->ColorClass() ? std::to_string(item->ColorClass()) : "none");
    return lines;
}

void CPreviewWindow::drawInfo(QPainter& painter) const {
    const QStringList lines = infoLines();
    if (lines.isEmpty())
        return;
    const QFontMetrics metrics(painter.font());
    int textWidth = 0;
    for (const QString& line : lines)
        textWidth = std::max(textWidth, metrics.horizontalAdvance(line));
    const int lineHeight = metrics.lineSpacing();
    const QRect box(12, height() - 12 - lineHeight * static_cast<int>(lines.size()) - 16, textWidth + 24,
                    lineHeight * static_cast<int>(lines.size()) + 16);
    painter.fillRect(box, QColor(0, 0, 0, 170));
    painter.setPen(QColor(235, 235, 235));
    int y = box.top() + 8 + metrics.ascent();
    for (const QString& line : lines) {
        painter.drawText(box.left() + 12, y, line);
        y += lineHeight;
    }
}

void CPreviewWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kBackground);
    const DocumentItem::Ref item = currentItem();
    if (!m_image.isNull() && !m_shownRect.isEmpty()) {
        painter.save();
        painter.setClipRect(m_shownRect);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.setTransform(m_bitmapToWindow);
        painter.drawImage(QPointF(0.0, 0.0), m_image);
        painter.restore();
    } else if (m_error) {
        painter.setPen(QColor(220, 120, 120));
        painter.setFont(QFont(QString::fromLatin1(kLumoCacheErrorFont), kLumoCacheErrorFontSize));
        painter.drawText(rect(), Qt::AlignCenter, m_errorText);
    } else if (item) {
        // Until the cache has the picture: the file's name.
        painter.setPen(kPlaceholderText);
        painter.drawText(rect(), Qt::AlignCenter, QString::fromStdString(item->FileName()));
    }
    if (m_zoomed) {
        painter.setPen(QColor(230, 230, 230));
        painter.drawText(rect().adjusted(8, 4, -8, -4), Qt::AlignTop | Qt::AlignRight,
                         QStringLiteral("100%"));
    }
    if (m_infoShown)
        drawInfo(painter);
}

bool CPreviewWindow::event(QEvent* event) {
    // The preview's keys win over the shortcuts of a window it is embedded in.
    if (event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers modifiers = key->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier);
        static const int kOwnKeys[] = {
            Qt::Key_Left,   Qt::Key_Right,  Qt::Key_Up,    Qt::Key_Down,   Qt::Key_PageUp,   Qt::Key_PageDown,
            Qt::Key_Home,   Qt::Key_End,    Qt::Key_Z,     Qt::Key_I,      Qt::Key_C,        Qt::Key_A,
            Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Delete, Qt::Key_Backspace};
        const bool own = modifiers == Qt::NoModifier && std::find(std::begin(kOwnKeys), std::end(kOwnKeys),
                                                                  key->key()) != std::end(kOwnKeys);
        if (own || cullingChangeForKey(*key)) {
            event->accept();
            return true;
        }
    }
    return QWidget::event(event);
}

void CPreviewWindow::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    const bool plain = modifiers == Qt::NoModifier;
    const int key = event->key();
    if (m_cropping) {
        switch (key) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            saveCrop();
            return;
        case Qt::Key_Escape:
        case Qt::Key_C:
            cancelCrop();
            return;
        case Qt::Key_Delete:
        case Qt::Key_Backspace:
            removeCrop();
            return;
        case Qt::Key_A:
            m_overlay->nextAspect();
            return;
        default:
            QWidget::keyPressEvent(event);
            return;
        }
    }
    if (m_zoomed && modifiers == Qt::ShiftModifier) {
        const QPointF step(width() * kPanStep, height() * kPanStep);
        switch (key) {
        case Qt::Key_Left:
            pan({step.x(), 0.0});
            return;
        case Qt::Key_Right:
            pan({-step.x(), 0.0});
            return;
        case Qt::Key_Up:
            pan({0.0, step.y()});
            return;
        case Qt::Key_Down:
            pan({0.0, -step.y()});
            return;
        default:
            break;
        }
    }
    if (plain) {
        switch (key) {
        case Qt::Key_Left:
        case Qt::Key_PageUp:
            setIndex(m_index - 1);
            return;
        case Qt::Key_Right:
        case Qt::Key_PageDown:
            setIndex(m_index + 1);
            return;
        case Qt::Key_Home:
            setIndex(0);
            return;
        case Qt::Key_End:
            setIndex(itemCount() - 1);
            return;
        case Qt::Key_Z:
            setZoomed(!m_zoomed);
            return;
        case Qt::Key_I:
            setInfoShown(!m_infoShown);
            return;
        case Qt::Key_C:
            beginCrop();
            return;
        case Qt::Key_Escape:
            close();
            return;
        default:
            break;
        }
    }
    if (const std::optional<BatchChange> change = cullingChangeForKey(*event)) {
        if (const DocumentItem::Ref item = currentItem()) {
            runItemChange(this, {item}, *change);
            itemChanged(item.get());
        }
        return;
    }
    QWidget::keyPressEvent(event);
}

void CPreviewWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (m_overlay)
        m_overlay->setGeometry(rect());
    layoutPicture();
    requestPicture(); // a larger window wants a larger picture
}

void CPreviewWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    requestPicture();
}

void CPreviewWindow::mousePressEvent(QMouseEvent* event) {
    if (m_zoomed && event->button() == Qt::LeftButton) {
        m_panning = true;
        m_panFrom = event->position();
        setCursor(Qt::ClosedHandCursor);
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void CPreviewWindow::mouseMoveEvent(QMouseEvent* event) {
    if (m_panning) {
        const QPointF at = event->position();
        pan(at - m_panFrom);
        m_panFrom = at;
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void CPreviewWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (m_panning && event->button() == Qt::LeftButton) {
        m_panning = false;
        unsetCursor();
        event->accept();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

// ---- the interactive crop

void CPreviewWindow::beginCrop() {
    const DocumentItem::Ref item = currentItem();
    if (m_cropping || !item || m_image.isNull() || m_error)
        return;
    m_cropping = true;
    m_zoomed = false;
    m_pan = {};
    if (!m_overlay)
        m_overlay = new CCropOverlay(this);
    m_overlay->setGeometry(rect());
    const bool turned = (m_rotation & 1) != 0;
    const double imageWidth = turned ? m_image.height() : m_image.width();
    const double imageHeight = turned ? m_image.width() : m_image.height();
    NRFNormalizedCrop crop = item->Crop();
    if (!usableCrop(crop))
        crop = NRFNormalizedCrop();
    m_overlay->begin(crop, imageWidth, imageHeight, m_rotation);
    layoutPicture();
    m_overlay->show();
    m_overlay->raise();
    update();
}

void CPreviewWindow::cancelCrop() {
    if (!m_cropping)
        return;
    m_cropping = false;
    if (m_overlay)
        m_overlay->hide();
    layoutPicture();
    update();
}

void CPreviewWindow::saveCrop() {
    const DocumentItem::Ref item = currentItem();
    if (!m_cropping || !item || !m_overlay)
        return;
    BatchChange change;
    change.operation = BatchChange::SetCrop;
    change.crop = m_overlay->crop();
    cancelCrop();
    runItemChange(this, {item}, change);
    itemChanged(item.get());
}

void CPreviewWindow::removeCrop() {
    const DocumentItem::Ref item = currentItem();
    if (!m_cropping || !item)
        return;
    BatchChange change;
    change.operation = BatchChange::RemoveCrop;
    cancelCrop();
    runItemChange(this, {item}, change);
    itemChanged(item.get());
}
