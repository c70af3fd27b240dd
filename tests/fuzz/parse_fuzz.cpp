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

namespace {

class Entry : public vesk::IFileEntry {
public:
    Entry(std::string_view parent, std::string_view name, uint64_t size, int64_t age)
        : name_(name), parent_(parent), size_(size), age_(age) {
        path_ = parent_.empty() ? name_ : parent_ + "/" + name_;
    }
    std::string_view name() const override { return name_; }
    std::string_view path() const override { return path_; }
    std::string_view parent() const override { return parent_; }
    bool is_directory() const override { return false; }
    int64_t age() const override { return age_; }
    uint64_t size() const override { return size_; }

private:
    std::string name_, parent_, path_;
    uint64_t size_;
    int64_t age_;
};

void apply(const vesk::Config& config) {
    const Entry entries[] = {
        {"", "readme.txt", 1024, 3600},
        {"src/sub", "\xC3\xA4rger.H", 0, -5},
        {"bad\xFF", "x\xC0\xAF", UINT64_MAX, INT64_MAX},
    };
    for (const Entry& entry : entries) {
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
