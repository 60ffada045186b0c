// The label text of the attribute and the process files: whatever parses
// prints as 170 characters that parse back to the same context.
#include <cstdlib>
#include <string>

#include "common/label_context.h"
#include "fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    LabelContext context;
    if (stringToContext(text, &context) != 0) {
        return 0;
    }
    const std::string printed = contextToString(context);
    LabelContext again;
    if (printed.size() != kLabelTextLength || stringToContext(printed, &again) != 0 || again != context ||
        contextToString(again) != printed) {
        abort();
    }
    return 0;
}
