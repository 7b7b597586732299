// Socket paths of the gateway and of the master-worker channel. Both carry the same suffix taken
// from APP_NAME, so several applications can run side by side on one machine.
#pragma once

#include <string>

// "/tmp/udsgateway", plus "-" and the lower-cased APP_NAME when APP_NAME is set (even empty).
// Computed again at every call.
std::string GetGatewayPath();

// "/tmp/uds-vessel-inner" with the same suffix: the channel the master listens on and every
// worker connects to. Both ends must derive it by the same rule.
std::string GetMasterChannelPath();
