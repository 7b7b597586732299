// Picks a worker's module manager by module kind and remembers it as the worker's current
// manager, which the worker cycle stops and asks about at shutdown.
#pragma once

#include <string>

#include "model/ModulePojo.h"
#include "worker/IModuleMgt.h"

using ModuleMgtGetter = IModuleMgt* (*)();

// The manager for the module's kind (exact, case-sensitive match), made current; for a kind
// without a manager, the current manager unchanged (null while there is none).
IModuleMgt* GetModuleMgtByType(const ModulePojo& module);

// Makes getter the source of the manager for kind ("C_MODULE", "TOMCAT", "GO", or any other
// kind). Replaces an earlier getter for the same kind; a null getter removes the kind.
void RegisterModuleMgt(const std::string& kind, ModuleMgtGetter getter);

IModuleMgt* GetCurrentModuleMgt();
// Forgets the current manager (a process that starts hosting afresh, and tests).
void ResetCurrentModuleMgt();

// Stop() of the current manager; nothing when there is none.
void StopCurrentModuleMgt();
// Stopped() of the current manager; true when there is none.
bool CurrentModuleMgtStopped();
