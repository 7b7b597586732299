// What `vessel` is asked on its command line. Without arguments it is the master, as it always
// was; otherwise one of the few operator commands.
#pragma once

#include <string>

class CommandLine {
public:
    enum class Action { Master, Help, Version, Status, Error };

    // Never throws: a command line that does not parse gives Error with the reason in error.
    static CommandLine Parse(int argc, const char* const* argv);
    // The --help text.
    static std::string Usage();

    Action action = Action::Master;
    bool json = false;  // status: the master's JSON as it is, not the table
    std::string error;
};
