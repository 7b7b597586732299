// What every module manager of a worker (C, Tomcat, Go) offers the worker: start, load and
// unload modules, stop, and report whether all work has drained. Managers are process-lifetime
// singletons, never destroyed through this interface.
#pragma once

#include <cstdint>

#include "model/ModulePojo.h"

class IModuleMgt {
public:
    // Prepares the manager; 0 on success.
    virtual int32_t Start() = 0;
    // Registers and loads the module and starts its request receiver; 0 on success.
    virtual int32_t LoadModule(const ModulePojo& module) = 0;
    // Stops serving the module.
    virtual int32_t UnLoadModule(const ModulePojo& module) = 0;
    // Stops taking new work, stops the manager's receivers and threads and waits for them.
    virtual void Stop() = 0;
    // True when no work is left, so that the worker may exit.
    virtual bool Stopped() = 0;

protected:
    ~IModuleMgt() = default;
};
