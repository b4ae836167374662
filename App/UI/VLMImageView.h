#pragma once
// Shows one symbol image, tinted, in the largest square of its frame.

#include "UI/SymbolImage.h"

#include <QColor>
#include <QWidget>

#include <optional>

class VLMImageView : public QWidget {
public:
    explicit VLMImageView(std::optional<SymbolImage> image = std::nullopt, QWidget* parent = nullptr);

    const std::optional<SymbolImage>& image() const { return image_; }
    void setImage(std::optional<SymbolImage> image);
    // Invalid: the palette's text colour.
    QColor contentTintColor() const { return contentTintColor_; }
    void setContentTintColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<SymbolImage> image_;
    QColor contentTintColor_;
};
