#include "config/config.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "config/parser.h"
#include "platform/text_format.h"

namespace vesk {

std::string IncrementalMode::to_text() const {
    return format("incremental(%s)", count);
}
std::string WindowMode::to_text() const {
    return format("window(%s)", count);
}
std::string RollingMode::to_text() const {
    return format("rolling(%s)", count);
}

namespace {

// Counts keep the low 32 bits of the number as written.
int32_t read_count(Parser& parser) {
    parser.next_token();
    return static_cast<int32_t>(static_cast<uint32_t>(parser.read_integer_argument()));
}

} // namespace

std::unique_ptr<Mode> read_mode(Parser& parser) {
    parser.expect_one_of({Parser::identifier});
    const std::string_view name = parser.token_text();
    if (name == "full") {
        parser.next_token();
        parser.expect(Parser::left_paranthesis);
        parser.expect(Parser::right_paranthesis);
        return std::make_unique<FullMode>();
    }
    if (name == "incremental") {
        return std::make_unique<IncrementalMode>(read_count(parser));
    }
    if (name == "window") {
        return std::make_unique<WindowMode>(read_count(parser));
    }
    if (name == "rolling") {
        return std::make_unique<RollingMode>(read_count(parser));
    }
    parser.fail("The identifier '" + std::string(name) + "' is not valid mode");
}

Config::Config() : mode(std::make_unique<FullMode>()) {}

namespace {

const char* const missing_trivial_condition =
    "Error: a 'select_format' directive must be specified, and have at least one trivial "
    "condition.";

void link_condition(FormatSelectorCondition& condition,
                    const std::vector<std::unique_ptr<FormatSpecification>>& specifications) {
    for (const auto& specification : specifications) {
        if (specification->name != condition.format_name) {
            continue;
        }
        if (condition.format) {
            throw std::runtime_error(format("Error: 'select_format' refers to the format '%s' "
                                            "which has been mentioned in more than one "
                                            "'format_specification' directive.",
                                            condition.format_name));
        }
        condition.format = specification.get();
    }
    if (!condition.format) {
        throw std::runtime_error(format("Error: 'select_format' refers to a format '%s' which "
                                        "has not been mentioned in any 'format_specification' "
                                        "directives.",
                                        condition.format_name));
    }
    if (condition.format_name == kRetryFormatName) {
        throw std::runtime_error(format("Error: 'select_format' refers to a format '%s' which "
                                        "is a special format that may not be used in "
                                        "'select_format'.",
                                        condition.format_name));
    }
}

// Directories reach the archiver's command line through %srcdir% and %dstdir%, inside the
// quotes a job writes around its variables; a quote of their own would end that quoting early
// and split the line into arguments the job never wrote.
void check_quote_free(std::string_view directive, std::string_view value) {
    if (value.find('"') != std::string_view::npos) {
        throw std::runtime_error(format("Error: the '%s' value '%s' contains a double quote, "
                                        "which cannot be passed on a command line.",
                                        directive, value));
    }
}

// A format's name becomes part of the run's file names ("listfile." + name + ".lst",
// "data." + name) and of command lines through %listfile% and %archive%; it must be a name
// Windows accepts in a file name, which also keeps quotes out of those command lines.
void check_format_name(std::string_view name) {
    const auto forbidden = [](char c) {
        return static_cast<unsigned char>(c) < 0x20 ||
               std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos;
    };
    if (name.empty() || name == "." || name == ".." ||
        std::any_of(name.begin(), name.end(), forbidden)) {
        throw std::runtime_error(format(
            "Error: the 'format_specification' name '%s' cannot be part of a file name; a name "
            "must not be empty, \".\" or \"..\", nor contain a control character or any of "
            "< > : \" / \\ | ? *.",
            name));
    }
}

} // namespace

void Config::validate() {
    if (!select_format) {
        throw std::runtime_error(missing_trivial_condition);
    }
    for (const auto& condition : select_format->conditions) {
        condition->format = nullptr;
    }
    bool has_trivial_condition = false;
    for (const auto& condition : select_format->conditions) {
        has_trivial_condition = has_trivial_condition || !condition->expression;
        link_condition(*condition, format_specifications);
    }
    if (!has_trivial_condition) {
        throw std::runtime_error(missing_trivial_condition);
    }
    // After the checks above, so that a job with faults of both kinds keeps its earlier message.
    check_quote_free("source_dir", source_dir);
    check_quote_free("destination_dir", destination_dir);
    for (const auto& specification : format_specifications) {
        check_format_name(specification->name);
    }
}

std::string Config::to_text() const {
    std::string specifications;
    for (const auto& specification : format_specifications) {
        specifications += specification->to_text();
    }
    return format("source_dir(\"%s\")\ndestination_dir(\"%s\")\nmode(%s)\nselect_dirs(%s)\n"
                  "select_files(%s)\nverify_select(%s)\n%s%s",
                  source_dir, destination_dir, mode->to_text(), select_dirs.to_text(),
                  select_files.to_text(), verify_select.to_text(), specifications,
                  select_format ? select_format->to_text() : std::string());
}

std::vector<std::string> Config::selection_warnings() const {
    std::vector<std::string> warnings = inert_item_warnings(select_dirs, "select_dirs");
    for (auto& warning : inert_item_warnings(select_files, "select_files")) {
        warnings.push_back(std::move(warning));
    }
    if (select_format) {
        for (auto& warning : inert_condition_warnings(*select_format)) {
            warnings.push_back(std::move(warning));
        }
    }
    return warnings;
}

std::unique_ptr<Config> Parser::parse() {
    auto config = std::make_unique<Config>();
    next_token();
    while (token_kind() != end_of_file) {
        expect_one_of({identifier, end_of_file});
        const std::string_view keyword = token_text();
        if (keyword == "mode") {
            next_token();
            expect(left_paranthesis);
            config->mode = read_mode(*this);
            expect(right_paranthesis);
        } else if (keyword == "source_dir") {
            next_token();
            config->source_dir = read_text_argument();
        } else if (keyword == "destination_dir") {
            next_token();
            config->destination_dir = read_text_argument();
        } else if (keyword == "select_dirs") {
            config->select_dirs = read_selector(*this);
        } else if (keyword == "select_files") {
            config->select_files = read_selector(*this);
        } else if (keyword == "select_format") {
            config->select_format = read_format_selector(*this);
        } else if (keyword == "verify_select") {
            config->verify_select = read_selector_verifier(*this);
        } else if (keyword == "format_specification") {
            config->format_specifications.push_back(read_format_specification(*this));
        } else {
            fail("The identifier '" + std::string(keyword) + "' is not valid");
        }
    }
    return config;
}

std::unique_ptr<Config> parse_job(std::string_view text) {
    Parser parser(text);
    auto config = parser.parse();
    config->validate();
    return config;
}

} // namespace vesk
