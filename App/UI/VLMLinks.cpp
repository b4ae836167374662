#include "VLMLinks.h"

#include <QCoreApplication>
#include <QDir>
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
