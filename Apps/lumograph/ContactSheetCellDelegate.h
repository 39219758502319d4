#pragma once

#include <QColor>
#include <QStyledItemDelegate>

class CContactSheetView;

// Draws one contact sheet cell: the thumbnail upright and centred (a placeholder until the cache
// delivers, an error bitmap's text for a file that fails), the marks line (rating stars, colour class
// chip, tag, crop, sound and RAW+JPEG marks), the caption line, and the selection. Drawing reads what
// the view and the items hold in memory only.
class ContactSheetCellDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    // The fill of a thumbnail that has not arrived yet.
    static QColor placeholderColor() { return QColor(0x5a, 0x5a, 0x5a); }
    static constexpr int kMargin = 6;
    static constexpr int kMarksHeight = 16;

    explicit ContactSheetCellDelegate(CContactSheetView* view);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // The cell's tooltip: the file name and its marks in words (the colour class by its name).
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // The cell's size for thumbnails of `thumbnailSize` pixels.
    QSize cellSize(int thumbnailSize) const;
    // Where the thumbnail's square lies in a cell at `cell`.
    QRect thumbnailRect(const QRect& cell, int thumbnailSize) const;

private:
    void paintMarks(QPainter* painter, const QRect& line, const class DocumentItem& item) const;

    CContactSheetView* m_view;
};
