#include "net/udp_endpoint.h"
#include "ui/host_center_dlg.h"
#include "ui/qt_translations.h"

#include <QApplication>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

int main(int argc, char** argv)
{
    CUdpEndpoint::PreferPollDispatcher();
    QApplication app(argc, argv);
    // Chinese unless VELTRANO_LANGUAGE asks for English; the window menu switches while it runs.
    SetUiLanguage(LanguageFromEnvironment());
    // Lets the desktop match the window to the installed launcher and icon.
    QGuiApplication::setDesktopFileName(u"io.github.veltrano.veltrano"_s);
    CHostCenterDlg console;
    console.show();
    return app.exec();
}
