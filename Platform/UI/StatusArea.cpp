#include "StatusArea.h"

#include <QSystemTrayIcon>

namespace {

std::function<bool()>& replacement()
{
    static std::function<bool()> instance;
    return instance;
}

} // namespace

bool StatusAreaIsAvailable()
{
    if (replacement())
        return replacement()();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void StatusAreaSetAvailability(std::function<bool()> availability)
{
    replacement() = std::move(availability);
}
