#include "VLMLoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

const char* const startedAtLoginVariable = "VLM_STARTED_AT_LOGIN";

// One argument of an Exec key: quoted when it holds anything but plain path
// characters, with the characters that quoting reserves escaped; then escaped
// again as a string value, where a backslash is written twice.
QString execArgument(const QString& argument)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9/._+-]+$"));
    if (plain.match(argument).hasMatch())
        return argument;
    QString quoted;
    for (const QChar character : argument) {
        if (character == u'"' || character == u'`' || character == u'$' || character == u'\\')
            quoted += u'\\';
        quoted += character;
    }
    return QString(u'"' + quoted + u'"').replace(u'\\', QStringLiteral("\\\\"));
}

QString desktopFileName()
{
    const QString name = QGuiApplication::desktopFileName();
    return name.isEmpty() ? QCoreApplication::applicationName() : name;
}

} // namespace

namespace VLMLoginItem {

QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart/") +
           desktopFileName() + QStringLiteral(".desktop");
}

bool isEnabled()
{
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    bool inMainGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed().remove(u' ');
        if (line.startsWith(u'['))
            inMainGroup = line == QLatin1String("[DesktopEntry]");
        else if (inMainGroup && (line == QLatin1String("Hidden=true") ||
                                 line == QLatin1String("X-GNOME-Autostart-enabled=false")))
            return false;
    }
    return true;
}

bool setEnabled(bool enabled, QString* error)
{
    const QString path = entryPath();
    if (!enabled) {
        QFile file(path);
        if (!file.exists() || file.remove())
            return true;
        if (error)
            *error = file.errorString();
        return false;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        const QString entry =
            QStringLiteral("[Desktop Entry]\n"
                           "Type=Application\n"
                           "Name=Velmora Studio Connect\n"
                           "Comment=Keeps the virtual microphone playing from the moment you log in\n"
                           "Exec=env %1=1 %2\n"
                           "Icon=%3\n"
                           "Terminal=false\n"
                           "X-GNOME-Autostart-enabled=true\n")
                .arg(QString::fromLatin1(startedAtLoginVariable),
                     execArgument(QCoreApplication::applicationFilePath()), desktopFileName());
        file.write(entry.toUtf8());
        if (file.commit())
            return true;
    }
    if (error)
        *error = file.errorString();
    return false;
}

bool takeStartedAtLoginMark()
{
    const bool marked = qEnvironmentVariable(startedAtLoginVariable) == QLatin1String("1");
    qunsetenv(startedAtLoginVariable);
    return marked;
}

} // namespace VLMLoginItem
