// `vessel status`: asks the running master, over the channel its workers use, what runs where,
// and prints the answer as a table or as the JSON line itself.
#pragma once

#include <ostream>
#include <string>

class StatusCommand {
public:
    // Seconds the whole exchange with the master may take.
    static constexpr int kTimeoutSeconds = 5;

    // 0 when the master answered (printed to out), 1 when it could not be asked or did not
    // answer (the reason on err).
    static int Run(bool json, std::ostream& out, std::ostream& err);

    // The master's answer as two aligned tables, workers then modules; false when it is not
    // the JSON the master writes.
    static bool FormatTable(const std::string& json, std::ostream& out);
};
