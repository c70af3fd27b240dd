// libFuzzer target: any job text must end in a Config or an exception, never in a crash, a
// hang or a sanitizer report. The parsed job is also validated, rendered and applied to a few
// entries, names that are not UTF-8 among them.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "config/config.h"
#include "config/parser.h"
#include "support/fake_entry.h"

namespace {

void apply(const vesk::Config& config) {
    const vesk::testing::FakeEntry entries[] = {
        vesk::testing::FakeEntry("readme.txt", 1024, 3600),
        vesk::testing::FakeEntry("src/sub/\xC3\xA4rger.H", 0, -5),
        vesk::testing::FakeEntry("bad\xFF/x\xC0\xAF", UINT64_MAX, INT64_MAX),
    };
    for (const auto& entry : entries) {
        config.select_dirs.selects(entry);
        config.select_files.selects(entry);
        if (config.select_format) {
            config.select_format->choose(entry);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        vesk::Parser parser(text);
        auto config = parser.parse();
        apply(*config);
        config->validate();
        config->to_text();
        apply(*config);
    } catch (const std::exception&) {
        // A rejected job is the expected outcome for most inputs.
    }
    return 0;
}
