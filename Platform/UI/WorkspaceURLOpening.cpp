#include "WorkspaceURLOpening.h"

#include <QDesktopServices>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace {

WorkspaceURLOpener& replacement()
{
    static WorkspaceURLOpener instance;
    return instance;
}

// The other platform's settings panes have no URL handler here. The nearest
// thing to its microphone privacy pane is the desktop's sound input settings.
bool openSettingsPane(const QUrl& url)
{
    if (!url.toString().contains(QLatin1String("Privacy_Microphone")))
        return false;
    const struct {
        const char* program;
        QStringList arguments;
    } candidates[] = {
        {"gnome-control-center", {QStringLiteral("sound")}},
        {"pavucontrol", {QStringLiteral("--tab=4")}},
        {"pavucontrol-qt", {QStringLiteral("--tab=4")}},
    };
    for (const auto& candidate : candidates) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(candidate.program));
        if (!path.isEmpty() && QProcess::startDetached(path, candidate.arguments))
            return true;
    }
    return false;
}

} // namespace

bool WorkspaceOpenURL(const QUrl& url)
{
    if (!url.isValid())
        return false;
    if (replacement())
        return replacement()(url);
    if (url.scheme() == QLatin1String("x-apple.systempreferences"))
        return openSettingsPane(url);
    return QDesktopServices::openUrl(url);
}

void WorkspaceSetURLOpener(WorkspaceURLOpener opener)
{
    replacement() = std::move(opener);
}
