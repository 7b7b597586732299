// The gateway wire protocol: the RESP-style array encoder, a one-shot message parser, and the
// builders of the identifier texts and worker messages.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "model/ModuleKey.h"

// "*" n CR LF, then per part "$" length CR LF, the bytes, CR LF. Nothing is escaped.
std::string Serialize(const std::vector<std::string>& parts);

// name "||" version: the key text of "pullmodloadrsp".
std::string ModuleKeyToString(const ModuleKey& key);

// name "||" version "||" pid: how a worker's module introduces itself to the gateway.
std::string ClientId(const std::string& name, const std::string& version, pid_t pid);

// Splits a key text at its first "||"; without one, name and version are both empty.
ModuleKey SplitModuleKey(const std::string& keyText);

// "pullreq" and the client id of key in this process (or in process pid).
std::vector<std::string> BuildPullReq(const ModuleKey& key);
std::vector<std::string> BuildPullReq(const ModuleKey& key, pid_t pid);

// "responsereq", client id, request id, status in decimal, body and the empty reserved part.
std::vector<std::string> BuildResponseReqParts(const std::string& clientId, const std::string& requestId,
                                               uint32_t status, const std::string& body);
