#pragma once

#include "contactsheet/DocumentItem.h"
#include "support/Signal.h"

#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QStringList>
#include <QTransform>
#include <QWidget>

#include <cstdint>
#include <vector>

class CCropOverlay;

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

    // 100%: one pixel of the photo on one pixel of the screen, panned with the mouse or Shift+arrows.
    bool isZoomed() const { return m_zoomed; }
    void setZoomed(bool zoomed);
    bool isInfoShown() const { return m_infoShown; }
    void setInfoShown(bool shown);
    // The lines of the information overlay: the camera's values for the current photo.
    QStringList infoLines() const;

    // The interactive crop: started over the whole picture; saveCrop() stores it in the photo's prefs.
    bool isCropping() const { return m_cropping; }
    void beginCrop();
    void cancelCrop();
    void saveCrop();
    void removeCrop();
    CCropOverlay* cropOverlay() const { return m_overlay; }

    // Where the picture (or the part its crop keeps) is drawn, in window coordinates; empty while a
    // placeholder is shown.
    QRectF pictureRect() const { return m_shownRect; }

Q_SIGNALS:
    void currentIndexChanged(int index);
    // The current item's picture arrived and is drawn.
    void pictureShown();

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    struct Arrival {
        QImage image;
        int rotation = 0;
        bool error = false;
        QString errorText;
    };

    int itemCount() const { return static_cast<int>(m_items.size()); }
    // The long side to ask the cache for: the window's in device pixels, or the photo's own at 100%.
    std::uint32_t wantedSize() const;
    void requestPicture();
    void precacheNeighbours();
    void loadRecordIfNeeded();
    void watchCurrentItem();
    void pictureArrived(std::uint64_t serial, const std::string& path, std::uint32_t size,
                        const Arrival& arrival);
    void itemChanged(const DocumentItem* item);
    void layoutPicture();
    void pan(const QPointF& by);
    void drawInfo(QPainter& painter) const;

    std::vector<DocumentItem::Ref> m_items;
    int m_index = 0;
    int m_doc = 0; // the cache's document number of this window's orders

    // The picture shown and where it came from.
    QImage m_image;
    int m_rotation = 0;
    bool m_error = false;
    QString m_errorText;
    std::string m_imagePath;
    std::uint32_t m_imageSize = 0; // the size it was asked at
    std::uint64_t m_serial = 0;    // of the newest request for the current item
    std::uint32_t m_askedSize = 0;
    int m_askedRotation = -1;

    // The layout of the picture in the window.
    QTransform m_bitmapToWindow;
    QRectF m_shownRect;
    QPointF m_pan;
    bool m_panning = false;
    QPointF m_panFrom;

    bool m_zoomed = false;
    bool m_infoShown = false;
    bool m_cropping = false;
    CCropOverlay* m_overlay = nullptr;

    lumo::ScopedConnection m_itemConnection;
};
