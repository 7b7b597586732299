// The work done for one request on a handler thread: run it in its C module, build the
// response and send it to the gateway. Stateless; every call stands alone.
#pragma once

#include "hosts/c/RequestPojo.h"
#include "hosts/c/ResponsePojo.h"

class RequestHandler {
public:
    // Executes the request and sends its "responsereq"; failures are logged, never thrown.
    static void run(const RequestPojo& request);
    // Runs the module for the request and fills the whole response (200, or 500 with a reason).
    static void execFunc(const RequestPojo& request, ResponsePojo& response);
    // For a request that will never run: gives back the count its receiver took on the module.
    static void Drop(const RequestPojo& request);
};
