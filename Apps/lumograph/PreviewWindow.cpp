#include "PreviewWindow.h"

CPreviewWindow::CPreviewWindow(std::vector<DocumentItem::Ref> items, int index, QWidget* parent)
    : QWidget(parent), m_items(std::move(items)), m_index(index) {}

CPreviewWindow::~CPreviewWindow() = default;

DocumentItem::Ref CPreviewWindow::currentItem() const {
    return m_index >= 0 && m_index < static_cast<int>(m_items.size()) ? m_items[m_index] : nullptr;
}

void CPreviewWindow::setIndex(int index) {
    m_index = index;
    Q_EMIT currentIndexChanged(index);
}

bool CPreviewWindow::isPictureShown() const {
    return false;
}
