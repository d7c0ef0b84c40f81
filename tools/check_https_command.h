#pragma once
// hbtctl check-https: one live HTTPS availability check, step by step.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace hbt::ctl {

// Runs the command with the arguments after its name, checking on httpsPort
// (443 outside tests); writes the steps and the verdict to out. Returns the
// exit status: 0 available, 1 not available, 2 usage error.
int RunCheckHttps(const std::vector<std::string>& args, uint16_t httpsPort, std::FILE* out);

}  // namespace hbt::ctl
