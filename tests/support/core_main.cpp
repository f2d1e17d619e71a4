#include "net/udp_endpoint.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

using namespace veltrano;

int main(int argc, char** argv)
{
    // The event dispatcher the program itself runs on.
    CUdpEndpoint::PreferPollDispatcher();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
