#pragma once

#include "contactsheet/DocumentItem.h"

#include <QWidget>

#include <vector>

// The one-up preview: one photo at the window's size from the image cache (upright, cropped as its
// prefs say, colour-managed for the screen), stepping through a list of items with the arrow keys.
// The culling keys of the contact sheet work here too; Z shows 100%, I the information overlay, C the
// interactive crop.
class CPreviewWindow : public QWidget {
    Q_OBJECT
public:
    CPreviewWindow(std::vector<DocumentItem::Ref> items, int index, QWidget* parent = nullptr);
    ~CPreviewWindow() override;

    int currentIndex() const { return m_index; }
    DocumentItem::Ref currentItem() const;
    void setIndex(int index);
    // The picture of the current item is drawn (not a placeholder).
    bool isPictureShown() const;

Q_SIGNALS:
    void currentIndexChanged(int index);
    // The current item's picture arrived and is drawn.
    void pictureShown();

private:
    std::vector<DocumentItem::Ref> m_items;
    int m_index = 0;
};
