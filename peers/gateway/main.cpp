// vessel-gateway: the HTTP front that Vessel's workers pull their requests from.
#include <cstdio>
#include <string>
#include <vector>

#include "GatewayLog.h"
#include "GatewayOptions.h"
#include "GatewayServer.h"

int main(int argc, char** argv) {
    GatewayOptions options;
    std::string error;
    if (!options.Parse(std::vector<std::string>(argv + 1, argv + argc), error)) {
        fprintf(stderr, "vessel-gateway: %s\n", error.c_str());
        return 2;
    }
    if (options.help) {
        fputs(GatewayOptions::Usage().c_str(), stdout);
        return 0;
    }
    options.versionText = VESSEL_VERSION;
    if (options.version) {
        printf("vessel-gateway %s\n", VESSEL_VERSION);
        return 0;
    }
    GatewayServer server(options);
    return server.Run();
}
