// Entry point of the window tests: a QApplication on the offscreen platform
// with three screens side by side, "normal" at device pixel ratio 1, "hidpi"
// at 2 and "short", 1000 pixels high at 2, so a window can be moved from one
// to another.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// The offscreen platform says for every fixed-size window that it cannot
// pass size hints on or raise windows; nothing a test needs to read.
QtMessageHandler standardHandler = nullptr;

void dropOffscreenNotices(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.startsWith(QLatin1String("This plugin does not support")) ||
        message.contains(QLatin1String("systemTrayWindowChanged")))
        return;
    standardHandler(type, context, message);
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);

    QTemporaryDir configuration;
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.isEmpty() || platform == "offscreen") {
        const QString path = configuration.filePath(QStringLiteral("screens.json"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return 2;
        file.write(R"({"screens": [
            {"name": "normal", "x": 0, "y": 0, "width": 1600, "height": 1200},
            {"name": "hidpi", "x": 1600, "y": 0, "width": 2880, "height": 1800},
            {"name": "short", "x": 4480, "y": 0, "width": 1600, "height": 1000}]})");
        file.close();
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + path.toUtf8());
        qputenv("QT_SCREEN_SCALE_FACTORS", "normal=1;hidpi=2;short=2");
    }
    // Settings written by the code under test stay in the temporary folder.
    qputenv("XDG_CONFIG_HOME", configuration.filePath(QStringLiteral("config")).toUtf8());
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", configuration.path().toUtf8());
    standardHandler = qInstallMessageHandler(dropOffscreenNotices);

    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
