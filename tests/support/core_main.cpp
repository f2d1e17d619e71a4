#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // The event dispatcher the program itself runs on (CHostCenterApp::PrepareEnvironment).
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
