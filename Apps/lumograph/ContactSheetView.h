#pragma once

#include "contactsheet/DocumentItem.h"

#include <QListView>
#include <QString>
#include <QStringList>

#include <vector>

class CLumoDoc;

// The contact sheet window of one document: a cell per item in the document's display order, each
// drawn with its thumbnail from the image cache (requested with on-screen priority, pre-cached around
// the visible rows), its caption line and its marks. Culling keys change the photos through the item
// operations; Space or Enter asks for the one-up preview.
class CContactSheetView : public QListView {
    Q_OBJECT
public:
    explicit CContactSheetView(CLumoDoc* document, QWidget* parent = nullptr);
    ~CContactSheetView() override;

    CLumoDoc* document() const { return m_document; }

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

private:
    CLumoDoc* m_document;
};
