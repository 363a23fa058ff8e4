#include <QCoreApplication>
#include <gtest/gtest.h>

// Signals, queued connections and the audio output need a Qt application
// object; the tests run on its thread.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
