#include "VLMLinks.h"

#include "UI/WorkspaceURLOpening.h"

#include <QCoreApplication>
#include <QDir>
#include <QMessageBox>
#include <QUrl>

QString VLMProductWebPageURLString()
{
    const QString configured = QStringLiteral(VLM_PRODUCT_PAGE_URL);
    if (!configured.isEmpty())
        return configured;
    // VLM_HELP_PAGE is the page's path relative to the program's folder, the
    // same from <prefix>/bin as from the build folder's App/.
    const QString page = QDir(QCoreApplication::applicationDirPath()).filePath(QString::fromUtf8(VLM_HELP_PAGE));
    return QUrl::fromLocalFile(QDir::cleanPath(page)).toString();
}

bool VLMOpenMicrophoneSettings(QWidget* parent)
{
    const QUrl url(QString::fromLatin1(VLMMicrophonePrivacySettingsURLString), QUrl::StrictMode);
    if (url.isValid() && WorkspaceOpenURL(url))
        return true;
    auto* alert = new QMessageBox(QMessageBox::Information, QStringLiteral("Microphone Settings Unavailable"),
                                  QStringLiteral("No program for your microphone settings could be opened."),
                                  QMessageBox::Ok, parent);
    alert->setObjectName(QStringLiteral("microphoneSettingsAlert"));
    alert->setInformativeText(QStringLiteral("Choose your microphone and allow its use in your desktop’s sound "
                                             "settings, or install GNOME Settings or PulseAudio Volume Control "
                                             "(pavucontrol)."));
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->open();
    return false;
}
