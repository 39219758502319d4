#pragma once

#include "NRF/NRFCropping.h"

#include <QTransform>
#include <QWidget>

#include <vector>

// An aspect ratio the crop can keep, as the user sees the photo (upright): width to height. "Free"
// keeps none; "Original" keeps the picture's own.
struct CropAspect {
    const char* label;
    double width = 0.0, height = 0.0; // 0 x 0 with `original`: the picture's
    bool original = false;
    bool portrait = false; // the picture's own, turned
};
// Free, Original and its turned form, 1:1, 4:3, 3:4, 3:2, 2:3, 16:9, 9:16.
const std::vector<CropAspect>& cropAspects();

// The interactive crop over the preview's picture: the crop model (NRFCropRect2D) driven by the mouse,
// the picture outside the crop darkened, the handles drawn, the cursor telling what a press would do
// (resize at the handles, move inside, turn just outside a corner). Covers its parent; the keys stay
// with the preview.
class CCropOverlay : public QWidget, private NRFCropRect2DCallbacks {
    Q_OBJECT
public:
    explicit CCropOverlay(QWidget* parent);
    ~CCropOverlay() override;

    // Starts editing `crop` over an image of `width` x `height` pixels as stored (unturned) whose
    // picture is shown turned by `rotationCode`.
    void begin(const NRFNormalizedCrop& crop, double width, double height, int rotationCode);
    // Where the stored image's pixels land in the overlay (the turn to upright included).
    void setImageToWindow(const QTransform& imageToWindow);
    const QTransform& imageToWindow() const { return m_imageToWindow; }

    NRFNormalizedCrop crop() const { return m_model.getNormalizedCrop(); }
    const NRFCropRect2D& model() const { return m_model; }

    // An index into cropAspects(): the crop is reshaped about its centre to the largest rectangle of
    // that ratio inside it, and kept to it from then on.
    void setAspect(int index);
    int aspect() const { return m_aspect; }
    void nextAspect();

Q_SIGNALS:
    void cropChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void cropRectChanged() override;
    void showCursorFor(NRFCropArea area) override;

    NRFCropRect2D m_model;
    QTransform m_imageToWindow;
    double m_width = 1.0, m_height = 1.0;
    int m_rotation = 0;
    int m_aspect = 0;
    bool m_dragging = false;
};
