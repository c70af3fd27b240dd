#pragma once
// The parsed job: directories, backup mode, selection lists and formats.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/format_spec.h"
#include "config/select_expr.h"

namespace vesk {

class Parser;

class Mode {
public:
    virtual ~Mode() = default;
    virtual std::string to_text() const = 0;
};

class FullMode : public Mode {
public:
    std::string to_text() const override { return "full()"; }
};

// Base of the modes that carry a count.
class CountedMode : public Mode {
public:
    explicit CountedMode(int32_t count) : count(count) {}
    int32_t count;
};

class IncrementalMode : public CountedMode {
public:
    using CountedMode::CountedMode;
    std::string to_text() const override;
};

class WindowMode : public CountedMode {
public:
    using CountedMode::CountedMode;
    std::string to_text() const override;
};

class RollingMode : public CountedMode {
public:
    using CountedMode::CountedMode;
    std::string to_text() const override;
};

// Reads a mode, entered at its name inside mode(...); returns with the ")" of mode(...)
// current.
std::unique_ptr<Mode> read_mode(Parser& parser);

class Config {
public:
    Config();
    virtual ~Config() = default;

    // Checks the cross-references between format selection and format specifications and links
    // each condition to its format; throws std::runtime_error on the first violation. May be
    // called again: links of an earlier call are dropped first.
    virtual void validate();
    // Renders the configuration back as text.
    virtual std::string to_text() const;
    // Warning lines for the items of select_dirs, select_files and select_format, in that order,
    // that can never change what is selected (inert_item_warnings, inert_condition_warnings).
    // Meant to be logged at the start of a run; what is selected stays as written.
    std::vector<std::string> selection_warnings() const;

    std::string source_dir;
    std::string destination_dir;
    std::unique_ptr<Mode> mode;
    Selector select_dirs;
    Selector select_files;
    SelectorVerifier verify_select;
    std::unique_ptr<FormatSelector> select_format;
    std::vector<std::unique_ptr<FormatSpecification>> format_specifications;
    bool dry_run = false;
    bool verbose_archiving = false;
    bool verbose_verification = false;
};

// Parses a job text and validates the result.
std::unique_ptr<Config> parse_job(std::string_view text);

} // namespace vesk
