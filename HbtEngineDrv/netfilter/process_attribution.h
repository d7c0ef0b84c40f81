#pragma once
// ProcessAttribution: what the engine is told about a held connect: its
// addresses, and the user and process that own its socket (found through the
// socket diagnostics and the process resolver).
#include "HbtEngineDrv/netfilter/process_resolver.h"
#include "HbtEngineDrv/netfilter/sock_diag.h"
#include "HbtEngineDrv/platform/filter_platform.h"

namespace hbt {

class ProcessAttribution {
public:
    explicit ProcessAttribution(SockDiag& sockDiag) : sockDiag_(sockDiag) {}

    // The connect layer's description of an outgoing connect. An owner that
    // cannot be found is process 0 with no path and no user.
    ClassifyInfo DescribeConnect(const TcpFourTuple& tuple);

private:
    SockDiag& sockDiag_;
    ProcessResolver processes_;
};

}  // namespace hbt
