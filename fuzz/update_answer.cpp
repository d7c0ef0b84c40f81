// The update check's reader of the server's answer: any text is judged
// without a fault, an answer taken is of format 2 with a positive value, and
// the download address is the answer's own text with no blank or line end
// around it.
#include <string>

#include "fuzz/fuzz_support.h"
#include "update/update_answer.h"

using namespace hbt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::InputReader reader(data, size);
    const uint32_t versionNumber = reader.U16() * 10u;
    const std::string_view answer = fuzz::InputReader::Text(reader.Rest());

    UpdateAnswer result;
    std::string error;
    if (!ParseUpdateAnswer(answer, versionNumber, result, error)) {
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(!result.updateAvailable && !result.outOfDate && result.downloadAddress.empty());
        return 0;
    }
    FUZZ_CHECK(error.empty());
    FUZZ_CHECK(answer.find(result.downloadAddress) != std::string_view::npos);
    if (!result.downloadAddress.empty()) {
        for (const char edge : {result.downloadAddress.front(), result.downloadAddress.back()}) {
            FUZZ_CHECK(edge != ' ' && edge != '\r' && edge != '\n');
        }
    }
    if (result.outOfDate) FUZZ_CHECK(result.updateAvailable == (versionNumber == 0));
    return 0;
}
