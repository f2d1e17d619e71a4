#include "ui/host_center_app.h"

#include "ui/host_center_dlg.h"

#include <QGuiApplication>
#include <QtGlobal>

void CHostCenterApp::PrepareEnvironment()
{
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

bool CHostCenterApp::InitInstance()
{
    // Lets the desktop match the window to the installed launcher and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("veltrano"));
    CHostCenterDlg dlg;
    dlg.exec();
    return false;
}

int CHostCenterApp::ExitInstance()
{
    return 0;
}
