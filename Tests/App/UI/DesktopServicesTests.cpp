// The desktop stand-ins under Platform/UI: symbol images, URL opening,
// announcements and the hand-over from a second instance.

#include "MainQueue.h"

#include "UI/AccessibilityAnnouncement.h"
#include "UI/SingleApplicationInstance.h"
#include "UI/SymbolImage.h"
#include "UI/WorkspaceURLOpening.h"

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <thread>

namespace {

// MARK: Symbols

struct Coverage {
    double fraction;  // of the square's pixels that are painted
    QRect bounds;     // of the painted pixels
};

Coverage coverage(const QImage& image)
{
    int painted = 0;
    QRect bounds;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 0) {
                ++painted;
                bounds |= QRect(x, y, 1, 1);
            }
    return {painted / static_cast<double>(image.width() * image.height()), bounds};
}

TEST(SymbolImageTest, DrawsEveryNamedSymbolAndNothingElse)
{
    for (const QString& name : SymbolImage::availableNames()) {
        const std::optional<SymbolImage> symbol = SymbolImage::systemSymbol(name, QStringLiteral("Label"));
        ASSERT_TRUE(symbol.has_value()) << qPrintable(name);
        EXPECT_EQ(symbol->accessibilityDescription(), QStringLiteral("Label"));
        for (int side : {16, 17, 32}) {
            QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            QPainter painter(&image);
            symbol->paint(painter, QRectF(0, 0, side, side), Qt::black);
            painter.end();
            const Coverage covered = coverage(image);
            EXPECT_GT(covered.fraction, 0.15) << qPrintable(name) << " at " << side;
            EXPECT_LT(covered.fraction, 0.9) << qPrintable(name) << " has its cut-outs at " << side;
            EXPECT_GE(covered.bounds.width(), side * 0.85) << qPrintable(name) << " fills its square";
        }
    }
    EXPECT_FALSE(SymbolImage::systemSymbol(QStringLiteral("4.circle.fill")).has_value());
    EXPECT_FALSE(SymbolImage::systemSymbol(QStringLiteral("gear")).has_value());
}

TEST(SymbolImageTest, IconsAreDrawnForTheirPixelRatioAndTemplatesTakeTheTextColour)
{
    std::optional<SymbolImage> symbol = SymbolImage::systemSymbol(QStringLiteral("checkmark.circle.fill"));
    ASSERT_TRUE(symbol);
    const QIcon tinted = symbol->icon(QColor(255, 0, 0));
    EXPECT_EQ(tinted.name(), QStringLiteral("checkmark.circle.fill"));
    const QPixmap doubled = tinted.pixmap(QSize(16, 16), 2.0);
    EXPECT_EQ(doubled.size(), QSize(32, 32)) << "drawn at device pixels, not scaled up";
    EXPECT_EQ(doubled.devicePixelRatio(), 2.0);
    EXPECT_EQ(doubled.toImage().pixelColor(4, 16).red(), 255);

    symbol->setTemplate(true);
    const QImage templated = symbol->icon(QColor(255, 0, 0)).pixmap(QSize(32, 32), 1.0).toImage();
    const QColor text = QGuiApplication::palette().color(QPalette::Active, QPalette::WindowText);
    EXPECT_EQ(templated.pixelColor(3, 16).rgb(), text.rgb()) << "a template ignores the tint";
}

// MARK: Second instance

TEST(SingleApplicationInstanceTest, ALaterInstanceHandsItsArgumentsOver)
{
    const QString name = QStringLiteral("vlm-test-") + QUuid::createUuid().toString(QUuid::Id128);
    SingleApplicationInstance running(name);
    ASSERT_TRUE(running.listen());
    SingleApplicationInstance second(name);
    EXPECT_FALSE(second.listen()) << "one instance listens per name";

    std::vector<QStringList> received;
    QObject::connect(&running, &SingleApplicationInstance::argumentsReceived,
                     [&](const QStringList& arguments) { received.push_back(arguments); });

    // The later instance is another process; here another thread, which
    // blocks as that process does while the running one answers.
    for (const QStringList& arguments : {QStringList{QStringLiteral("velmora-studio-connect://open")}, QStringList{}}) {
        auto sent = std::async(std::launch::async, [&] {
            return SingleApplicationInstance::sendToRunningInstance(name, arguments);
        });
        const std::size_t before = received.size();
        ASSERT_TRUE(runMainQueueUntil([&] { return received.size() > before; }));
        EXPECT_TRUE(sent.get());
        EXPECT_EQ(received.back(), arguments);
    }
}

TEST(SingleApplicationInstanceTest, NobodyAnswersWhenNoInstanceRuns)
{
    const QString name = QStringLiteral("vlm-test-") + QUuid::createUuid().toString(QUuid::Id128);
    EXPECT_FALSE(SingleApplicationInstance::sendToRunningInstance(name, {QStringLiteral("x")}, 200));
    SingleApplicationInstance first(name);
    EXPECT_TRUE(first.listen());
}

// Sets environment variables for one scope and puts the old values back.
class ScopedEnvironment {
public:
    void set(const char* name, const QByteArray& value)
    {
        saved_.push_back({name, qgetenv(name), qEnvironmentVariableIsSet(name)});
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~ScopedEnvironment()
    {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            it->wasSet ? qputenv(it->name, it->value) : qunsetenv(it->name);
    }

private:
    struct Saved {
        const char* name;
        QByteArray value;
        bool wasSet;
    };
    std::vector<Saved> saved_;
};

TEST(SingleApplicationInstanceTest, TheNameIsPrivateToTheUserAndOneDisplay)
{
    QTemporaryDir runtime;  // made 0700, as the session makes it
    ScopedEnvironment environment;
    environment.set("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    environment.set("WAYLAND_DISPLAY", QByteArray());
    environment.set("DISPLAY", ":1.0");
    const QString first = SingleApplicationInstance::defaultServerName();
    EXPECT_TRUE(first.startsWith(runtime.path() + QStringLiteral("/velmora-studio-connect/"))) << qPrintable(first);
    struct stat folder = {};
    ASSERT_EQ(::stat(QFile::encodeName(runtime.path() + QStringLiteral("/velmora-studio-connect")).constData(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    environment.set("DISPLAY", ":1");
    EXPECT_EQ(SingleApplicationInstance::defaultServerName(), first) << "one display, however written";
    environment.set("DISPLAY", ":2");
    EXPECT_NE(SingleApplicationInstance::defaultServerName(), first) << "another session of the same user";
    environment.set("WAYLAND_DISPLAY", "wayland-1");
    EXPECT_NE(SingleApplicationInstance::defaultServerName(), first);

    // A runtime folder others can enter is not used; nor is a fallback
    // folder that someone else made first.
    QTemporaryDir temporary;
    environment.set("TMPDIR", temporary.path().toUtf8());
    ASSERT_EQ(::chmod(QFile::encodeName(runtime.path()).constData(), 0755), 0);
    const QString fallback = SingleApplicationInstance::defaultServerName();
    EXPECT_TRUE(fallback.startsWith(temporary.path() + QStringLiteral("/velmora-studio-connect-"))) << qPrintable(fallback);
    const QByteArray fallbackFolder = QFile::encodeName(QFileInfo(fallback).absolutePath());
    ASSERT_EQ(::chmod(fallbackFolder.constData(), 0777), 0);
    EXPECT_TRUE(SingleApplicationInstance::defaultServerName().isEmpty()) << "the program then runs on its own";
}

// Runs `body` in a child process as another user (nobody), with a pipe to
// report back on; only root can do that.
pid_t runAsAnotherUser(int report[2], const std::function<int()>& body)
{
    if (::pipe(report) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        ::_exit(body());
    }
    ::close(report[1]);
    return child;
}

int listenOn(const QByteArray& path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
    const int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(server, 4) != 0)
        return -1;
    return server;
}

TEST(SingleApplicationInstanceTest, NothingIsHandedToAnotherUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a process as another user";
    QTemporaryDir shared;  // a folder both users can use, as /tmp was
    ASSERT_EQ(::chmod(QFile::encodeName(shared.path()).constData(), 0777), 0);

    // Another user took the name first: the later start sends nothing.
    const QByteArray path = QFile::encodeName(shared.filePath(QStringLiteral("taken")));
    int report[2];
    const pid_t child = runAsAnotherUser(report, [&] {
        const int server = listenOn(path);
        char ready = server >= 0 ? 'r' : 'x';
        [[maybe_unused]] ssize_t written = ::write(report[1], &ready, 1);
        pollfd pending = {server, POLLIN, 0};
        const int connection = ::poll(&pending, 1, 5000) > 0 ? ::accept(server, nullptr, nullptr) : -1;
        char bytes[256];
        pollfd readable = {connection, POLLIN, 0};
        const bool received = connection >= 0 && ::poll(&readable, 1, 3000) > 0 &&
                              ::read(connection, bytes, sizeof bytes) > 0;
        const char answer = received ? 'y' : 'n';
        written = ::write(report[1], &answer, 1);
        return 0;
    });
    ASSERT_GT(child, 0);
    char ready = 0;
    ASSERT_EQ(::read(report[0], &ready, 1), 1);
    ASSERT_EQ(ready, 'r');
    EXPECT_FALSE(SingleApplicationInstance::sendToRunningInstance(QFile::decodeName(path), {QStringLiteral("secret")}))
        << "a stranger is no running instance";
    char received = 0;
    ASSERT_EQ(::read(report[0], &received, 1), 1);
    EXPECT_EQ(received, 'n') << "the stranger heard nothing";
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);

    // Another user connects to the running instance: it is not heard.
    const QString name = shared.filePath(QStringLiteral("running"));
    SingleApplicationInstance running(name);
    ASSERT_TRUE(running.listen());
    ASSERT_EQ(::chmod(QFile::encodeName(name).constData(), 0777), 0);
    int heard = 0;
    QObject::connect(&running, &SingleApplicationInstance::argumentsReceived, [&] { ++heard; });
    // The child makes only system calls: the parent's other threads may hold
    // locks that a forked child never sees released.
    const QByteArray socketPath = QFile::encodeName(name);
    const QByteArray message = QByteArray::fromHex("0000000a") + QByteArray(10, 'x');
    const pid_t stranger = runAsAnotherUser(report, [&] {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path - 1);
        const int connection = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return 3;
        [[maybe_unused]] ssize_t written = ::write(connection, message.constData(), message.size());
        char answer[2];
        pollfd readable = {connection, POLLIN, 0};
        return ::poll(&readable, 1, 3000) > 0 && ::read(connection, answer, sizeof answer) > 0 ? 1 : 0;
    });
    ASSERT_GT(stranger, 0);
    int status = -1;
    ASSERT_TRUE(runMainQueueUntil([&] { return ::waitpid(stranger, &status, WNOHANG) == stranger; }));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the stranger got no answer";
    EXPECT_EQ(heard, 0);
    ::close(report[0]);
}

} // namespace
