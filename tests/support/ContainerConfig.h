// Writes container.json for a test and gives it a modification time of its own, so the settings
// cache (which re-reads on a changed time) always notices the new content.
#pragma once

#include <string>

namespace testsupport {

// Writes <home>/conf/container.json with the given JSON object text.
void WriteContainerConfig(const std::string& home, const std::string& json);

}  // namespace testsupport
