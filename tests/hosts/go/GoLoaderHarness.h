// Shared pieces of the Go module tests: where the built loader and modules are, loading the
// loader the way a worker does, and gateway request texts.
#pragma once

#include <string>

namespace gotest {

// ${build}/peers/goloader/libgoloader.so and the module directories.
std::string LoaderPath();
std::string HelloLocation();
std::string GateLocation();
// Empty when everything is built; otherwise what is missing (go was not found at configure time).
std::string MissingArtifacts();

// Loads the real loader by its full path with the worker's handled signals blocked (as a worker
// thread has them), so the manager's dlopen("libgoloader.so") finds it by its soname. Only for
// a child process: the Go runtime cannot be unloaded and does not survive a fork.
bool PreloadLoader();

// A gateway request text with the given members and empty headers unless given.
std::string RequestJson(const std::string& url, const std::string& method, const std::string& body,
                        const std::string& queryJson, const std::string& headerJson = "{}");

}  // namespace gotest
