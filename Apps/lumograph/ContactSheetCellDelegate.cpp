#include "ContactSheetCellDelegate.h"

#include "ContactSheetModel.h"
#include "ContactSheetView.h"
#include "cache/LumoCache.h"

#include <QApplication>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>
#include <QtMath>

namespace {

QPolygonF starPolygon(const QPointF& centre, double radius) {
    QPolygonF star;
    for (int i = 0; i < 10; ++i) {
        const double r = (i % 2 == 0) ? radius : radius * 0.45;
        const double angle = -M_PI / 2 + i * M_PI / 5;
        star << QPointF(centre.x() + r * std::cos(angle), centre.y() + r * std::sin(angle));
    }
    return star;
}

} // namespace

ContactSheetCellDelegate::ContactSheetCellDelegate(CContactSheetView* view)
    : QStyledItemDelegate(view), m_view(view) {}

QSize ContactSheetCellDelegate::cellSize(int thumbnailSize) const {
    const QFontMetrics metrics(m_view->font());
    return {thumbnailSize + 2 * kMargin, thumbnailSize + 3 * kMargin + kMarksHeight + metrics.height()};
}

QRect ContactSheetCellDelegate::thumbnailRect(const QRect& cell, int thumbnailSize) const {
    return {cell.left() + (cell.width() - thumbnailSize) / 2, cell.top() + kMargin, thumbnailSize,
            thumbnailSize};
}

QSize ContactSheetCellDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return cellSize(m_view->thumbnailSize());
}

void ContactSheetCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                     const QModelIndex& index) const {
    const auto* model = static_cast<const ContactSheetModel*>(index.model());
    const DocumentItem* item = model->itemAt(index.row());
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    const QRect cell = option.rect.adjusted(1, 1, -1, -1);
    const bool selected = (option.state & QStyle::State_Selected) != 0;
    const QPalette& palette = option.palette;
    if (selected) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(palette.color(QPalette::Highlight));
        painter->drawRoundedRect(cell, 4, 4);
    }
    if (option.state & QStyle::State_HasFocus) {
        painter->setPen(QPen(palette.color(QPalette::Highlight).darker(130), 1, Qt::DotLine));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(cell, 4, 4);
    }

    const int size = m_view->thumbnailSize();
    const QRect square = thumbnailRect(option.rect, size);
    bool exact = false;
    const ContactSheetCellPicture* picture = item ? m_view->pictureFor(item, &exact) : nullptr;
    if (picture && picture->error) {
        painter->setPen(QColor(0x30, 0x30, 0x30));
        painter->setBrush(QColor(0xe8, 0xe8, 0xe8));
        const QRect box = square.adjusted(size / 8, size / 8, -size / 8, -size / 8);
        painter->drawRect(box);
        const QFont font(QString::fromLatin1(kLumoCacheErrorFont), kLumoCacheErrorFontSize);
        painter->setFont(font);
        painter->setPen(QColor(0xb0, 0x10, 0x10));
        painter->drawText(box, Qt::AlignCenter | Qt::TextWordWrap, picture->errorText);
    } else if (picture && !picture->image.isNull()) {
        QSize drawn = picture->image.size();
        if (drawn.width() > size || drawn.height() > size || !exact)
            drawn.scale(size, size, Qt::KeepAspectRatio);
        const QRect target(square.left() + (size - drawn.width()) / 2,
                           square.top() + (size - drawn.height()) / 2, drawn.width(), drawn.height());
        painter->setRenderHint(QPainter::SmoothPixmapTransform, !exact);
        painter->drawImage(target, picture->image);
        // A thin frame keeps white pictures apart from the sheet.
        painter->setRenderHint(QPainter::Antialiasing, false);
        painter->setPen(QColor(0, 0, 0, 60));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(target.adjusted(-1, -1, 0, 0));
        painter->setRenderHint(QPainter::Antialiasing, true);
    } else {
        // Not delivered yet: the placeholder.
        const int inset = size / 6;
        painter->setPen(Qt::NoPen);
        painter->setBrush(placeholderColor());
        painter->drawRect(square.adjusted(inset, inset, -inset, -inset));
    }

    if (item) {
        const QRect marks(option.rect.left() + kMargin, square.bottom() + kMargin,
                          option.rect.width() - 2 * kMargin, kMarksHeight);
        paintMarks(painter, marks, *item);
    }

    const QFontMetrics metrics(m_view->font());
    const QRect caption(option.rect.left() + kMargin, option.rect.bottom() - kMargin - metrics.height() + 1,
                        option.rect.width() - 2 * kMargin, metrics.height());
    painter->setFont(m_view->font());
    painter->setPen(palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    painter->drawText(caption, Qt::AlignHCenter | Qt::AlignVCenter,
                      metrics.elidedText(model->captionAt(index.row()), Qt::ElideMiddle, caption.width()));
    painter->restore();
}

void ContactSheetCellDelegate::paintMarks(QPainter* painter, const QRect& line,
                                          const DocumentItem& item) const {
    const int h = line.height();
    int x = line.left();
    // Rating: one star each.
    const int rating = item.Rating();
    painter->setPen(QPen(QColor(0x80, 0x60, 0x00), 0.8));
    painter->setBrush(QColor(0xf2, 0xb8, 0x00));
    for (int i = 0; i < rating && i < 5; ++i) {
        painter->drawPolygon(starPolygon(QPointF(x + h / 2.0, line.center().y() + 0.5), h / 2.0 - 1));
        x += h - 2;
    }
    // The marks on the right, from the right edge inwards.
    int right = line.right();
    auto slot = [&](int width) {
        const QRect box(right - width + 1, line.top() + 1, width, h - 2);
        right -= width + 3;
        return box;
    };
    const int colorClass = item.ColorClass();
    if (colorClass >= 1 && colorClass <= 8) {
        const QRect chip = slot(h);
        painter->setPen(QPen(QColor(0x20, 0x20, 0x20), 0.8));
        painter->setBrush(m_view->colorClassColor(colorClass));
        painter->drawRoundedRect(chip, 3, 3);
    }
    if (item.Tag()) {
        const QRect box = slot(h);
        painter->setPen(Qt::NoPen);
        painter->setBrush(QColor(0x1c, 0x8c, 0x2c));
        painter->drawRoundedRect(box, 2, 2);
        QPainterPath tick;
        tick.moveTo(box.left() + box.width() * 0.22, box.top() + box.height() * 0.55);
        tick.lineTo(box.left() + box.width() * 0.42, box.top() + box.height() * 0.75);
        tick.lineTo(box.left() + box.width() * 0.8, box.top() + box.height() * 0.28);
        painter->setPen(QPen(Qt::white, 2));
        painter->setBrush(Qt::NoBrush);
        painter->drawPath(tick);
    }
    if (item.HasCrop()) {
        const QRect box = slot(h - 2);
        painter->setPen(QPen(QColor(0x40, 0x40, 0x40), 1.5));
        painter->drawLine(box.left() + 3, box.top(), box.left() + 3, box.bottom() - 3);
        painter->drawLine(box.left() + 3, box.bottom() - 3, box.right(), box.bottom() - 3);
        painter->drawLine(box.left(), box.top() + 3, box.right() - 3, box.top() + 3);
        painter->drawLine(box.right() - 3, box.top() + 3, box.right() - 3, box.bottom());
    }
    QFont small = m_view->font();
    small.setPixelSize(std::max(8, h - 5));
    small.setBold(true);
    painter->setFont(small);
    const QFontMetrics metrics(small);
    if (item.HasSoundFile()) {
        const QRect box = slot(h);
        painter->setPen(QPen(QColor(0x20, 0x40, 0x90), 1.5));
        painter->setBrush(QColor(0x20, 0x40, 0x90));
        painter->drawEllipse(QRectF(box.left() + 1, box.bottom() - 5, 5, 4));
        painter->drawLine(box.left() + 6, box.bottom() - 3, box.left() + 6, box.top() + 1);
        painter->drawLine(box.left() + 6, box.top() + 1, box.left() + 10, box.top() + 4);
    }
    if (item.HasCompanion()) {
        const QString text = QStringLiteral("R+J");
        const QRect box = slot(metrics.horizontalAdvance(text) + 4);
        painter->setPen(QPen(QColor(0x60, 0x20, 0x80), 1));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(box, 2, 2);
        painter->drawText(box, Qt::AlignCenter, text);
    }
}

bool ContactSheetCellDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                         const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (!event || event->type() != QEvent::ToolTip || !index.isValid())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const auto* model = static_cast<const ContactSheetModel*>(index.model());
    const DocumentItem* item = model->itemAt(index.row());
    if (!item)
        return false;
    // The file, then what its marks say in words.
    QStringList lines{QString::fromStdString(item->FileName())};
    if (const int rating = item->Rating(); rating > 0)
        lines << tr("Rating: %1").arg(rating);
    if (const int colorClass = item->ColorClass(); colorClass >= 1 && colorClass <= 8)
        lines << tr("Color class: %1").arg(m_view->colorClassLabel(colorClass));
    if (item->Tag())
        lines << tr("Tagged");
    if (item->HasCompanion())
        lines << QString::fromStdString(item->CompanionPath());
    if (const ContactSheetCellPicture* picture = m_view->pictureFor(item); picture && picture->error)
        lines << QString(picture->errorText).replace(QLatin1Char('\n'), QLatin1Char(' '));
    QToolTip::showText(event->globalPos(), lines.join(QLatin1Char('\n')), view);
    return true;
}
