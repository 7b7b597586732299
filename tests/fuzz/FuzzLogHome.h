// A throw-away VESSEL_HOME for the fuzz targets whose logging settings write nothing, so that the
// targets spend their time in the parsers and never fill a disk with log lines.
#pragma once

#include <string>

class FuzzLogHome {
public:
    // Creates the home (once per process), points VESSEL_HOME and _APP_LOG_DIR at it and
    // removes it at exit. Call before anything logs.
    static void Install();
    // The home directory: a scratch place for targets that need files.
    static const std::string& Path();
};
