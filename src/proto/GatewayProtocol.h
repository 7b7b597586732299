// The gateway wire protocol: the RESP-style array encoder, the reply parser of the synchronous
// gateway clients, and the builders of the identifier texts and worker messages.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "model/ModuleKey.h"

// "*" n CR LF, then per part "$" length CR LF, the bytes, CR LF. Nothing is escaped.
std::string Serialize(const std::vector<std::string>& parts);

// Reply parser of the synchronous clients. CRs are removed and the text is split at LFs, so
// values never contain CR or LF, and empty values vanish (later values move up). Appends to out.
// Returns 0 when the reply was understood, -1 when it was rejected (unknown first line, or a count
// or length that is not a decimal number); a rejected reply appends nothing.
int32_t parseSchema(const std::string& text, std::vector<std::string>& out);

// The number after the first character of a header line. The null headers "$-1" and "*-1" give 0;
// a header shorter than two characters prints "[ParseInt] b[] < 4" on stdout and gives -1. When
// the rest is not a decimal integer (or overflows), *ok is set false and -1 is returned; otherwise
// *ok is set true. ok may be null.
int64_t ParseInt(const std::string& header, bool* ok = nullptr);

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
