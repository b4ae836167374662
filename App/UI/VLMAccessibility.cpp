#include "VLMAccessibility.h"

#include "VLMAudioLevelMeterView.h"
#include "VLMCheckBox.h"
#include "VLMPopUpButton.h"
#include "VLMFlippedView.h"
#include "VLMGradientSliderCell.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QAbstractItemView>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <QWidget>

namespace {

constexpr const char* elementProperty = "vlmAccessibilityElement";

// The main view: its accessible children are the subviews that are elements.
class FlippedViewAccessible final : public QAccessibleWidget {
public:
    explicit FlippedViewAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Pane) {}

    int childCount() const override { return static_cast<int>(elements().size()); }

    QAccessibleInterface* child(int index) const override
    {
        const QList<QWidget*> list = elements();
        if (index < 0 || index >= list.size())
            return nullptr;
        return QAccessible::queryAccessibleInterface(list.at(index));
    }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        if (!child)
            return -1;
        return static_cast<int>(elements().indexOf(qobject_cast<QWidget*>(child->object())));
    }

private:
    QList<QWidget*> elements() const
    {
        QList<QWidget*> list;
        for (QObject* object : widget()->children()) {
            auto* child = qobject_cast<QWidget*>(object);
            if (child && !child->isWindow() && VLMIsAccessibilityElement(child))
                list.append(child);
        }
        return list;
    }
};

class LevelMeterAccessible final : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    // Qt 6.4 has no level-bar role; a progress bar is the read-only value
    // indicator that comes closest.
    explicit LevelMeterAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text type) const override
    {
        if (type == QAccessible::Value)
            return QString::number(meter()->accessibilityValue());
        return QAccessibleWidget::text(type);
    }

    QVariant currentValue() const override { return meter()->accessibilityValue(); }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    const VLMAudioLevelMeterView* meter() const { return static_cast<const VLMAudioLevelMeterView*>(widget()); }
};

// A gain slider speaks in percent of its range, as its value label shows,
// not in the knob's internal positions.
class GradientSliderAccessible final : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit GradientSliderAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Slider) {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text type) const override
    {
        if (type == QAccessible::Value)
            return QString::number(percent()) + QLatin1Char('%');
        return QAccessibleWidget::text(type);
    }

    QVariant currentValue() const override { return percent(); }
    void setCurrentValue(const QVariant& value) override
    {
        // As if the user moved the knob: the slider sends its action.
        VLMGradientSliderCell* s = slider();
        const double fraction = std::clamp(value.toDouble() / 100.0, 0.0, 1.0);
        s->setValue(s->minimum() + static_cast<int>(std::lround(fraction * (s->maximum() - s->minimum()))));
    }
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    VLMGradientSliderCell* slider() const { return static_cast<VLMGradientSliderCell*>(widget()); }
    int percent() const
    {
        const VLMGradientSliderCell* s = slider();
        const double range = s->maxValue() - s->minValue();
        if (!(range > 0))
            return 0;
        return static_cast<int>(std::lround(std::clamp((s->doubleValue() - s->minValue()) / range, 0.0, 1.0) * 100));
    }
};

// The microphone pop-up as Qt shows a combo box on this desktop (named by
// its selection, labelled by its label, its list as its child), that also
// offers the selection as text: screen readers take a closed pop-up's value
// from its text, and Qt's own combo box has none, so "Microphone combo box"
// was all they said.
class PopUpButtonAccessible final : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit PopUpButtonAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::ComboBox) {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text type) const override
    {
        if (type == QAccessible::Name || type == QAccessible::Value)
            return popUp()->currentText();
        return QAccessibleWidget::text(type);
    }

    int childCount() const override { return 1; }
    QAccessibleInterface* child(int index) const override
    {
        return index == 0 ? QAccessible::queryAccessibleInterface(popUp()->view()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        return child && child->object() == popUp()->view() ? 0 : -1;
    }

    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.expandable = true;
        state.expanded = popUp()->view()->isVisible();
        return state;
    }

    QStringList actionNames() const override
    {
        return QStringList{showMenuAction(), pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& name) override
    {
        if (name == showMenuAction() || name == pressAction())
            popUp()->showPopup();
        else
            QAccessibleWidget::doAction(name);
    }

    // The selection as read-only text.
    QString text(int startOffset, int endOffset) const override
    {
        return popUp()->currentText().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return static_cast<int>(popUp()->currentText().size()); }
    void selection(int, int* startOffset, int* endOffset) const override { *startOffset = *endOffset = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int* startOffset, int* endOffset) const override
    {
        *startOffset = 0;
        *endOffset = characterCount();
        return {};
    }

private:
    QComboBox* popUp() const { return static_cast<QComboBox*>(widget()); }
};

QAccessibleInterface* factory(const QString& className, QObject* object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (className == QLatin1String("VLMAudioLevelMeterView"))
        return new LevelMeterAccessible(widget);
    if (className == QLatin1String("QComboBox") && dynamic_cast<VLMPopUpButton*>(widget))
        return new PopUpButtonAccessible(widget);
    if (className == QLatin1String("VLMGradientSliderCell"))
        return new GradientSliderAccessible(widget);
    if (className == QLatin1String("VLMFlippedView"))
        return new FlippedViewAccessible(widget);
    return nullptr;
}

} // namespace

void VLMInstallAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    (void)installed;
}

void VLMSetAccessibilityElement(QWidget* widget, bool isElement)
{
    widget->setProperty(elementProperty, isElement);
}

bool VLMIsAccessibilityElement(const QWidget* widget)
{
    const QVariant value = widget->property(elementProperty);
    return !value.isValid() || value.toBool();
}
