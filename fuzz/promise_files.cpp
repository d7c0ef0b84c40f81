// The reader of the learned promises file on any text: what it reads back
// from the file written for its promises is the same, and pruning keeps the
// limit.
#include <string>

#include "fuzz/fuzz_support.h"
#include "hsts/hsts_store.h"
#include "hsts/promise_files.h"

using namespace hbt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    auto promises = ParseLearnedPromises(fuzz::InputReader::Text({data, size}));
    if (!promises) return 0;
    const auto again = ParseLearnedPromises(SerializeLearnedPromises(*promises));
    FUZZ_CHECK(again && *again == *promises);
    PruneLearned(*promises, 1'700'000'000, 3);
    FUZZ_CHECK(promises->size() <= 3);
    for (const auto& [host, promise] : *promises) FUZZ_CHECK(promise.expiry > 1'700'000'000);
    return 0;
}
