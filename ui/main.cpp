#include "ui/host_center_app.h"

#include <QApplication>

int main(int argc, char** argv)
{
    CHostCenterApp::PrepareEnvironment();
    QApplication qtApp(argc, argv);
    CHostCenterApp app;
    app.InitInstance();
    return app.ExitInstance();
}
