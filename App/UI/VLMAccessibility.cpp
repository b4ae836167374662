#include "VLMAccessibility.h"

#include "VLMAudioLevelMeterView.h"
#include "VLMFlippedView.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QVariant>
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

QAccessibleInterface* factory(const QString& className, QObject* object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (className == QLatin1String("VLMAudioLevelMeterView"))
        return new LevelMeterAccessible(widget);
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
