#pragma once

// The application: runs the console modally for the program's whole life.
class CHostCenterApp final
{
public:
    CHostCenterApp() = default;

    // Before the QApplication exists: picks the event dispatcher. Every datagram costs one socket
    // notification and one posted message, and the plain poll dispatcher handles them at about twice the
    // rate of the GLib one. A QT_NO_GLIB already in the environment is left as it is.
    static void PrepareEnvironment();

    // Runs the console until it ends; false, as no further message loop follows.
    bool InitInstance();
    // The process's exit code.
    int ExitInstance();
};
