#pragma once

#include "contactsheet/DocumentItem.h"

#include <QColor>
#include <QImage>
#include <QListView>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <array>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

class CLumoDoc;
class ContactSheetModel;
class ContactSheetCellDelegate;

// A picture the view keeps for a cell: the cache's bitmap as an image, or an error bitmap's text.
struct ContactSheetCellPicture {
    QImage image;
    QString errorText;
    bool error = false;
    int rotation = 0; // the item's rotation code when it was asked for
};

// The contact sheet window of one document: a cell per item in the document's display order, each
// drawn with its thumbnail from the image cache (requested with on-screen priority, pre-cached around
// the visible rows), its caption line and its marks. Culling keys change the photos through the item
// operations; Space or Enter asks for the one-up preview.
class CContactSheetView : public QListView {
    Q_OBJECT
public:
    explicit CContactSheetView(CLumoDoc* document, QWidget* parent = nullptr);
    ~CContactSheetView() override;

    CLumoDoc* document() const;

    // The long side of a thumbnail in pixels (cells grow with it).
    void setThumbnailSize(int pixels);
    int thumbnailSize() const;
    // The caption line under each cell: a {variable} template, or empty for the file name.
    void setCaptionTemplate(const QString& captionTemplate);

    // The selected items in display order, and the current one.
    std::vector<DocumentItem::Ref> selectedItems() const;
    DocumentItem::Ref currentItem() const;
    // Selects the items whose names are listed (the names typed or a selects file); answers the
    // document's message about how many matched.
    QString selectFromNames(const QStringList& names);

    // Every cell on screen has its picture (or its error bitmap).
    bool visibleCellsComplete() const;
    // The rows on screen (first > last when there are none).
    void visibleRows(int& first, int& last) const;

    ContactSheetModel* sheetModel() const { return m_model; }
    // What the cell of `item` shows: the picture at the current size, else one of another size that
    // stands in (`exact` false), else null (the placeholder).
    const ContactSheetCellPicture* pictureFor(const DocumentItem* item, bool* exact = nullptr) const;
    // The chip colour and the name of colour class 1..8 (from the preferences).
    QColor colorClassColor(int colorClass) const;
    QString colorClassLabel(int colorClass) const;

    // The sort ended: the cells take the new order, keeping the selection and the current item.
    void FinishSort();

Q_SIGNALS:
    void selectionCountChanged(int selected, int total);
    // "Timer: sort progress": 0..100 and the phase's text while a sort runs.
    void sortProgress(int percent, const QString& text);
    // The last cell on screen got its picture.
    void visibleCellsFilled();
    // Space or Enter (or a double click): the one-up preview of `items`, starting at `index`.
    void previewRequested(const std::vector<DocumentItem::Ref>& items, int index);
    // Photos were moved in or out by this view: the frame rescans the sheets that show `folder`.
    void folderContentsChanged(const QString& folder);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void showEvent(QShowEvent* event) override;

private:
    struct Pending {
        std::uint64_t ticket = 0;
    };
    void documentSorted();
    void documentItemChanged(int row);
    void updateLayout();
    // Asks the cache for the pictures the visible cells (and those near them) miss; soon after a
    // scroll, a resize or a new order.
    void scheduleRequests();
    void requestPictures();
    void request(const DocumentItem::Ref& item, int row, bool precache);
    void delivered(const DocumentItem::Ref& item, std::uint32_t size, std::uint64_t ticket, bool cancelled,
                   ContactSheetCellPicture picture);
    void checkVisibleFilled();
    void forgetFarPictures(int keepFirst, int keepLast);
    std::vector<DocumentItem::Ref> targetItems() const;
    void selectRows(const std::vector<int>& rows, int current);
    void loadColorClasses();

    // The document may close before its window goes.
    QPointer<CLumoDoc> m_document;
    std::uint32_t m_documentID = 0;
    ContactSheetModel* m_model = nullptr;
    ContactSheetCellDelegate* m_delegate = nullptr;
    int m_thumbnailSize = 200;
    // Pictures by item, then by size.
    std::unordered_map<const DocumentItem*, std::map<std::uint32_t, ContactSheetCellPicture>> m_pictures;
    // Requests on their way, by item, then by size.
    std::unordered_map<const DocumentItem*, std::map<std::uint32_t, Pending>> m_pending;
    std::uint64_t m_nextTicket = 1;
    int m_lastFirst = -1, m_lastLast = -1;
    bool m_wasComplete = false;
    bool m_precacheRefused = false;
    std::size_t m_onScreenBytes = 0;
    QTimer m_requestTimer;
    // "Timer: sort progress"
    QTimer m_sortProgressTimer;
    std::uint64_t m_preferencesChange = 0;
    QTimer m_preferencesTimer;
    std::array<QColor, 9> m_classColors;
    std::array<QString, 9> m_classLabels;
};
