#include "ContactSheetView.h"

#include "LumoDoc.h"

CContactSheetView::CContactSheetView(CLumoDoc* document, QWidget* parent)
    : QListView(parent), m_document(document) {}

CContactSheetView::~CContactSheetView() = default;

void CContactSheetView::setThumbnailSize(int) {}

int CContactSheetView::thumbnailSize() const {
    return 160;
}

void CContactSheetView::setCaptionTemplate(const QString&) {}

std::vector<DocumentItem::Ref> CContactSheetView::selectedItems() const {
    return {};
}

DocumentItem::Ref CContactSheetView::currentItem() const {
    return {};
}

QString CContactSheetView::selectFromNames(const QStringList&) {
    return {};
}

bool CContactSheetView::visibleCellsComplete() const {
    return true;
}

void CContactSheetView::FinishSort() {}
