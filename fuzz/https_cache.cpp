// The https_cache.xml reader on any text. Answers read from a file must be
// read the same from the file written for them.
#include <string>

#include "fuzz/fuzz_support.h"
#include "https_check/https_cache_file.h"

using namespace hbt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    HttpsCacheAnswers answers;
    if (!ParseHttpsCache(std::string(fuzz::InputReader::Text({data, size})), answers)) return 0;
    HttpsCacheAnswers again;
    FUZZ_CHECK(ParseHttpsCache(SerializeHttpsCache(answers), again));
    FUZZ_CHECK(again == answers);
    return 0;
}
