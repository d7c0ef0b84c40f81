// The reader of an imported preload list (Chromium's JSON layout) on any
// text: every name it takes is a key that can hold a promise, and the
// preloaded set made of them reads back the same from its file.
#include <string>

#include "fuzz/fuzz_support.h"
#include "hsts/hsts_host.h"
#include "hsts/preload_list_json.h"
#include "hsts/promise_files.h"

using namespace hbt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string error;
    const auto list = ReadChromiumPreloadList(fuzz::InputReader::Text({data, size}), error);
    if (!list) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    for (const PreloadedHost& host : list->hosts) FUZZ_CHECK(HstsHostKey(host.name) == host.name);
    const PreloadedHosts set(list->hosts);
    for (const PreloadedHost& host : list->hosts) FUZZ_CHECK(set.Find(host.name).has_value());
    const auto again = ParsePreloadedHosts(SerializePreloadedHosts(set.Hosts()));
    FUZZ_CHECK(again && *again == set.Hosts());
    return 0;
}
