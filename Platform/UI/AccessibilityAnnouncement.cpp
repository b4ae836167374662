#include "AccessibilityAnnouncement.h"

#include <QAccessible>
#include <QAccessibleEvent>
#include <QAccessibleWidget>
#include <QWidget>

namespace {

AccessibilityAnnouncementObserver& observer()
{
    static AccessibilityAnnouncementObserver instance;
    return instance;
}

constexpr const char* announcerName = "accessibilityAnnouncement";

// Never painted, never focused: it exists to be read.
class Announcer final : public QWidget {
    Q_OBJECT
public:
    explicit Announcer(QWidget* window) : QWidget(window)
    {
        setObjectName(QString::fromLatin1(announcerName));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        hide();
    }
    QString text;
};

class AnnouncerAccessible final : public QAccessibleWidget {
public:
    explicit AnnouncerAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Notification) {}

    QString text(QAccessible::Text type) const override
    {
        if (type == QAccessible::Name)
            return static_cast<const Announcer*>(widget())->text;
        return {};
    }

    // Showing while its window is: screen readers skip what is not shown.
    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.invisible = !widget()->window()->isVisible();
        state.offscreen = state.invisible;
        return state;
    }
};

QAccessibleInterface* announcerFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("Announcer") && object && object->isWidgetType())
        return new AnnouncerAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

Announcer* announcerOf(QWidget* window)
{
    static const bool installed = [] {
        QAccessible::installFactory(announcerFactory);
        return true;
    }();
    (void)installed;
    if (auto* existing = window->findChild<Announcer*>(QString::fromLatin1(announcerName), Qt::FindDirectChildrenOnly))
        return existing;
    return new Announcer(window);
}

} // namespace

void AccessibilityPostAnnouncement(QObject* element, const QString& announcement, AccessibilityPriority priority)
{
    if (!element)
        return;
    if (observer())
        observer()(element, announcement, priority);
    if (!element->isWidgetType())
        return;
    Announcer* announcer = announcerOf(static_cast<QWidget*>(element)->window());
    announcer->text = announcement;
    // Every announcement is spoken, also the same text twice in a row.
    QAccessibleEvent event(announcer, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&event);
}

void AccessibilitySetAnnouncementObserver(AccessibilityAnnouncementObserver newObserver)
{
    observer() = std::move(newObserver);
}

#include "AccessibilityAnnouncement.moc"
