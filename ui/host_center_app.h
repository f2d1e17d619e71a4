#pragma once

// The application: runs the console modally for the program's whole life.
class CHostCenterApp final
{
public:
    CHostCenterApp() = default;

    // Runs the console until it ends; false, as no further message loop follows.
    bool InitInstance();
    // The process's exit code.
    int ExitInstance();
};
