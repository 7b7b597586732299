// Logging and settings home shared by the Java unit tests: every line is written at once into a
// directory of this program's own, so tests can look for the lines they expect.
#pragma once

#include <string>

namespace javatest {

// The directory holding the log files and conf/container.json; the first call sets logging up,
// so a test calls it before the code under test logs.
const std::string& Home();
// Everything logged so far by this program.
std::string Logs();
// Number of times needle occurs in the logs.
size_t CountInLogs(const std::string& needle);

}  // namespace javatest
