#include "cli/app.h"
#include "net/udp_endpoint.h"

#include <QCoreApplication>

using namespace veltrano;

int main(int argc, char** argv)
{
    CUdpEndpoint::PreferPollDispatcher();
    QCoreApplication app(argc, argv);
    return RunCli(argc, argv);
}
