// Entry point of every test program: a Qt application object owns the main
// queue, so jobs dispatched to it run when a test drains it.

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
