#pragma once
// A translucent material behind part of the window. This desktop blends
// nothing behind a window, so the material is a tone of the window
// background painted at the view's alpha.

#include <QWidget>

class VLMVisualEffectView : public QWidget {
public:
    enum class Material { windowBackground = 12, underWindowBackground = 21 };
    enum class BlendingMode { behindWindow = 0, withinWindow = 1 };
    enum class State { followsWindowActiveState = 0, active = 1, inactive = 2 };

    explicit VLMVisualEffectView(QWidget* parent = nullptr);

    Material material() const { return material_; }
    void setMaterial(Material material);
    BlendingMode blendingMode() const { return blendingMode_; }
    void setBlendingMode(BlendingMode mode) { blendingMode_ = mode; }
    State state() const { return state_; }
    void setState(State state) { state_ = state; }
    double alphaValue() const { return alpha_; }
    void setAlphaValue(double alpha);

    // The opaque colour the material shows over the window background: what
    // text and controls on it are seen against.
    QColor effectiveColor() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Material material_ = Material::windowBackground;
    BlendingMode blendingMode_ = BlendingMode::behindWindow;
    State state_ = State::followsWindowActiveState;
    double alpha_ = 1.0;
};
