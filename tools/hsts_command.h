#pragma once
// hbtctl hsts: the HTTPS promises kept beside the user's HTTPS cache file.
#include <cstdio>
#include <string>

#include "hsts/sts_header.h"

namespace hbt::ctl {

// Keeps what a check's answer promised for host in the user's store, tells a
// running program, and writes "HSTS: HOST until ..." or "HSTS: HOST withdrawn"
// to out (nothing when a withdrawal found nothing to withdraw).
void KeepPromiseOfCheck(const std::string& host, const StsDirectives& promise, std::FILE* out);

}  // namespace hbt::ctl
