#include "net/udp_endpoint.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace veltrano;

int main(int argc, char** argv)
{
    // Widget tests never need a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The event dispatcher the program itself runs on.
    CUdpEndpoint::PreferPollDispatcher();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
