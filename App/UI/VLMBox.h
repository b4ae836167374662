#pragma once
// A plain box of the custom type: a fill and a border, no title.

#include <QColor>
#include <QWidget>

class VLMBox : public QWidget {
public:
    enum class BoxType { primary = 0, separator = 2, custom = 4 };
    enum class TitlePosition { noTitle = 0, atTop = 2 };

    explicit VLMBox(QWidget* parent = nullptr);

    BoxType boxType() const { return boxType_; }
    void setBoxType(BoxType type);
    TitlePosition titlePosition() const { return titlePosition_; }
    void setTitlePosition(TitlePosition position);
    QColor fillColor() const { return fillColor_; }
    void setFillColor(const QColor& color);
    QColor borderColor() const { return borderColor_; }
    void setBorderColor(const QColor& color);
    double borderWidth() const { return borderWidth_; }
    void setBorderWidth(double width);
    double cornerRadius() const { return cornerRadius_; }
    void setCornerRadius(double radius);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    BoxType boxType_ = BoxType::primary;
    TitlePosition titlePosition_ = TitlePosition::atTop;
    QColor fillColor_ = Qt::transparent;
    QColor borderColor_ = Qt::transparent;
    double borderWidth_ = 1.0;
    double cornerRadius_ = 0.0;
};
