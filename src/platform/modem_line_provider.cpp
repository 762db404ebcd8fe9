#include "modem_line_provider.h"

#include "platform/modem_line.h"
#include "platform/net_line.h"

namespace qx {

bool IsNetworkLineName(const std::string& name) {
    NetLineAddress address;
    return ParseNetLineName(name, address);
}

std::unique_ptr<TCallLine> OpenCallLine(const std::string& name, const std::string& lockDir,
                                        ModemLineEvents events, int& result, std::string& error,
                                        const ModemTimings& timings) {
    if (IsNetworkLineName(name)) {
        return TNetLine::Open(name, std::move(events), result, error, timings);
    }
    return TModemLine::Open(name, lockDir, std::move(events), result, error, timings);
}

}  // namespace qx
