#include "config/format_spec.h"

#include "config/parser.h"
#include "platform/text_format.h"

namespace vesk {

namespace {

uint32_t low_32_bits(int64_t value) {
    return static_cast<uint32_t>(value);
}

std::string text_or_empty(const std::optional<std::string>& value) {
    return value.value_or(std::string());
}

} // namespace

// ---- Methods ----

void FormatSpecificationMethod::read_text_parameter(Parser& parser,
                                                    std::optional<std::string>& field,
                                                    std::string_view name) {
    if (field) {
        parser.fail("A " + method_name() + " can only specify one '" + std::string(name) +
                    "' parameter.");
    }
    parser.next_token();
    field = parser.read_text_argument();
}

void FormatSpecificationMethod::read_executable(Parser& parser) {
    read_text_parameter(parser, executable, "executable");
}

void FormatSpecificationMethod::read_arguments(Parser& parser) {
    read_text_parameter(parser, arguments, "arguments");
}

void FormatSpecificationMethod::read_workdir(Parser& parser) {
    read_text_parameter(parser, workdir, "workdir");
}

std::string FormatSpecificationMethod::to_text() const {
    return format("executable(\"%s\")\n, arguments(\"%s\")\n, workdir(\"%s\")\n",
                  text_or_empty(executable), text_or_empty(arguments), text_or_empty(workdir));
}

void FormatSpecificationMethod::read(Parser& parser) {
    parser.expect_one_of({Parser::identifier});
    parser.next_token();
    read_identifier_list(parser, [&] {
        const std::string_view keyword = parser.token_text();
        if (keyword == "executable") {
            read_executable(parser);
        } else if (keyword == "arguments") {
            read_arguments(parser);
        } else if (keyword == "workdir") {
            read_workdir(parser);
        } else {
            read_parameter(parser);
        }
    });
    check_required(parser);
}

void FormatSpecificationOutputMethod::read_parameter(Parser& parser) {
    if (parser.token_text() != "filepattern") {
        parser.fail("A " + method_name() +
                    " can only specify 'executable', 'arguments', 'workdir', and 'filepattern' "
                    "parameters.");
    }
    if (filepattern) {
        parser.fail("A " + method_name() + " can only specify one 'filepattern' parameter.");
    }
    read_filepattern(parser);
}

void FormatSpecificationOutputMethod::read_filepattern(Parser& parser) {
    parser.next_token();
    parser.expect(Parser::left_paranthesis);
    if (parser.token_kind() != Parser::string) {
        parser.fail("First argument to a filepattern has to be a regular expression for parsing "
                    "filenames from the standard output of the executable.");
    }
    filepattern = parser.string_value();
    parser.next_token();
    parser.expect(Parser::comma);
    if (parser.token_kind() != Parser::integer) {
        parser.fail("Second argument to a filepattern has to be an integer telling the filepath "
                    "capture group of the regular expression.");
    }
    path_group = low_32_bits(parser.integer_value());
    parser.next_token();
    parser.expect_one_of({Parser::comma, Parser::right_paranthesis});
    if (parser.token_kind() == Parser::comma) {
        parser.next_token();
        if (parser.token_kind() != Parser::integer) {
            parser.fail("Last argument to a filepattern has to be an integer telling the "
                        "checksum capture group of the regular expression.");
        }
        checksum_group = low_32_bits(parser.integer_value());
        parser.next_token();
    }
    parser.expect(Parser::right_paranthesis);
}

std::string FormatSpecificationOutputMethod::render(std::string_view keyword) const {
    return format("%s(\n%s, filepattern(\"%s\", %s, %s)\n)\n", keyword,
                  FormatSpecificationMethod::to_text(), text_or_empty(filepattern), path_group,
                  checksum_group);
}

std::string FormatSpecificationArchive::to_text() const {
    return render("archive");
}

void FormatSpecificationArchive::check_required(const Parser& parser) const {
    if (!executable || !arguments) {
        parser.fail("A " + method_name() +
                    " must specify at least 'executable' and 'arguments' parameters.");
    }
}

std::string FormatSpecificationVerify::to_text() const {
    return render("verify");
}

void FormatSpecificationVerify::check_required(const Parser& parser) const {
    if (!executable || !arguments || !filepattern) {
        parser.fail("A " + method_name() +
                    " must specify at least 'executable', 'arguments', and 'filepattern' "
                    "parameters.");
    }
}

void FormatSpecificationRecover::read_parameter(Parser& parser) {
    if (parser.token_text() != "copy") {
        parser.fail("A " + method_name() +
                    " can only specify 'executable', 'arguments', 'workdir', and 'copy' "
                    "parameters.");
    }
    read_copy(parser);
}

void FormatSpecificationRecover::read_copy(Parser& parser) {
    Copy copy;
    parser.next_token();
    parser.expect(Parser::left_paranthesis);
    if (parser.token_kind() != Parser::string) {
        parser.fail("First argument to a copy has to supply absolute path to a file or "
                    "directory.");
    }
    copy.source = parser.string_value();
    parser.next_token();
    parser.expect(Parser::comma);
    if (parser.token_kind() != Parser::string) {
        parser.fail("Last argument to a copy has to supply relative path and filename where the "
                    "file is to be put in the backup .");
    }
    copy.destination = parser.string_value();
    parser.next_token();
    parser.expect(Parser::right_paranthesis);
    copies.push_back(std::move(copy));
}

void FormatSpecificationRecover::check_required(const Parser& parser) const {
    if (!executable || !arguments) {
        parser.fail("A " + method_name() +
                    " must specify at least 'executable' and 'arguments' parameters.");
    }
}

std::string FormatSpecificationRecover::to_text() const {
    std::string copy_texts;
    for (const auto& copy : copies) {
        copy_texts += format(", copy(\"%s\", \"%s\")\n", copy.source, copy.destination);
    }
    return format("recover(\n%s%s)\n", FormatSpecificationMethod::to_text(), copy_texts);
}

// ---- Format specification ----

std::string FormatSpecification::to_text() const {
    return format("%s(\n\"%s\"\n, %s, %s, %s)\n", "format_specification", name,
                  archive ? archive->to_text() : "null", verify ? verify->to_text() : "null",
                  recover ? recover->to_text() : "null");
}

namespace {

template <typename Method>
void read_method(Parser& parser, std::unique_ptr<Method>& method, std::string_view keyword) {
    if (method) {
        parser.fail("A format_specification can only specify one '" + std::string(keyword) +
                    "' method.");
    }
    method = std::make_unique<Method>();
    method->read(parser);
}

void check_methods(const Parser& parser, const FormatSpecification& specification) {
    const auto& archive = specification.archive;
    if (!archive || (!archive->filepattern && !specification.verify)) {
        parser.fail("A format_specification must specify at least an 'archive' method. If the "
                    "'archive' method does not have a 'filepattern' specified, you must also "
                    "have a 'verify' method.");
    }
    if (archive->filepattern && specification.verify) {
        parser.fail("A format_specification cannot have both a 'archive' method with a "
                    "'filepattern', while also having a 'verify' method.");
    }
}

} // namespace

std::unique_ptr<FormatSpecification> read_format_specification(Parser& parser) {
    auto specification = std::make_unique<FormatSpecification>();
    parser.expect_one_of({Parser::identifier});
    parser.next_token();
    parser.expect(Parser::left_paranthesis);
    if (parser.token_kind() != Parser::string) {
        parser.fail("A format_specification must start with a string parameter containing the "
                    "name of the format, then followed by the supported methods of the format.");
    }
    specification->name = parser.string_value();
    parser.next_token();
    for (;;) {
        parser.expect_one_of({Parser::comma, Parser::right_paranthesis});
        if (parser.token_kind() == Parser::comma) {
            parser.next_token();
        }
        if (parser.token_kind() == Parser::right_paranthesis) {
            break;
        }
        parser.expect_one_of({Parser::identifier});
        const std::string_view keyword = parser.token_text();
        if (keyword == "archive") {
            read_method(parser, specification->archive, keyword);
        } else if (keyword == "verify") {
            read_method(parser, specification->verify, keyword);
        } else if (keyword == "recover") {
            read_method(parser, specification->recover, keyword);
        } else {
            parser.fail("A format_specification can only specify 'archive', 'verify', and "
                        "'recover' methods.");
        }
    }
    parser.next_token();
    check_methods(parser, *specification);
    return specification;
}

// ---- Format selection ----

bool FormatSelectorCondition::matches(const IFileEntry& entry) const {
    return !expression || expression->matches(entry);
}

std::string FormatSelectorCondition::to_text() const {
    return vesk::format("format(%s, %s)", format_name, expression ? expression->to_text() : "");
}

std::string FormatSelector::to_text() const {
    std::string joined;
    for (const auto& condition : conditions) {
        joined += (joined.empty() ? "" : "\n, ") + condition->to_text();
    }
    return format("select_format(\n%s\n)", joined);
}

const FormatSpecification* FormatSelector::choose(const IFileEntry& entry) const {
    const FormatSpecification* chosen = nullptr;
    for (const auto& condition : conditions) {
        if (condition->matches(entry)) {
            chosen = condition->format;
        }
    }
    return chosen;
}

std::vector<std::string> inert_condition_warnings(const FormatSelector& selector) {
    const auto& conditions = selector.conditions;
    size_t catch_all = conditions.size();
    for (size_t index = 0; index < conditions.size(); ++index) {
        if (!conditions[index]->expression) {
            catch_all = index;
        }
    }
    std::vector<std::string> warnings;
    for (size_t index = 0; index < catch_all && catch_all < conditions.size(); ++index) {
        warnings.push_back(format("Warning: select_format condition %s '%s' can never be chosen: "
                                  "condition %s '%s' after it matches every entry, and the last "
                                  "matching condition decides.",
                                  index + 1, conditions[index]->to_text(), catch_all + 1,
                                  conditions[catch_all]->to_text()));
    }
    return warnings;
}

namespace {

std::unique_ptr<FormatSelectorCondition> read_condition(Parser& parser) {
    auto condition = std::make_unique<FormatSelectorCondition>();
    parser.next_token();
    parser.expect(Parser::left_paranthesis);
    if (parser.token_kind() != Parser::string) {
        parser.fail("A format condition must start with a string parameter containing the name "
                    "of the format, then followed by the expression.");
    }
    condition->format_name = parser.string_value();
    parser.next_token();
    parser.expect_one_of({Parser::comma, Parser::right_paranthesis});
    if (parser.token_kind() == Parser::comma) {
        parser.next_token();
        condition->expression = read_expression(parser);
    }
    parser.expect(Parser::right_paranthesis);
    return condition;
}

} // namespace

std::unique_ptr<FormatSelector> read_format_selector(Parser& parser) {
    auto selector = std::make_unique<FormatSelector>();
    parser.expect_one_of({Parser::identifier});
    parser.next_token();
    read_identifier_list(parser, [&] {
        if (parser.token_text() != "format") {
            parser.fail("The identifier '" + std::string(parser.token_text()) +
                        "' is not valid directive for select_format");
        }
        selector->conditions.push_back(read_condition(parser));
    });
    if (selector->conditions.empty()) {
        parser.fail("You must specify at least one format selector. The condition can be empty "
                    "to match all files.");
    }
    return selector;
}

// ---- Verification selector ----

std::string SelectorVerifierItem::to_text() const {
    return format(exclude ? "exclude(%s, \"%s\", \"%s\")" : "include(%s, \"%s\", \"%s\")", number,
                  first_text, second_text);
}

std::string SelectorVerifier::to_text() const {
    std::vector<std::string> texts;
    for (const auto& item : items) {
        texts.push_back(item.to_text());
    }
    return render_list(texts);
}

namespace {

SelectorVerifierItem read_verifier_item(Parser& parser) {
    SelectorVerifierItem item;
    const std::string_view text = parser.token_text();
    if (text == "exclude") {
        item.exclude = true;
    } else if (text != "include") {
        parser.fail("selector verifiers must be wrapped in either 'include' or 'exclude' "
                    "determinators. '" +
                    std::string(text) + "' is not a recognized determinator");
    }
    parser.next_token();
    parser.expect(Parser::left_paranthesis);
    parser.expect_one_of({Parser::integer});
    item.number = low_32_bits(parser.integer_value());
    parser.next_token();
    parser.expect(Parser::comma);
    parser.expect_one_of({Parser::string});
    item.first_text = parser.string_value();
    parser.next_token();
    parser.expect(Parser::comma);
    parser.expect_one_of({Parser::string});
    item.second_text = parser.string_value();
    parser.next_token();
    parser.expect(Parser::right_paranthesis);
    return item;
}

} // namespace

SelectorVerifier read_selector_verifier(Parser& parser) {
    SelectorVerifier verifier;
    parser.next_token();
    read_identifier_list(parser, [&] { verifier.items.push_back(read_verifier_item(parser)); });
    return verifier;
}

} // namespace vesk
