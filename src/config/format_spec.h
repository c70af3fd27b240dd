#pragma once
// Format specifications (how a format is archived, verified and recovered), the format
// selection that assigns each entry to a format, and the verification selector list.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/file_entry.h"
#include "config/select_expr.h"

namespace vesk {

class Parser;

// The special format that gives the files no program confirmed one more pass; a job's format
// selection may not name it.
inline constexpr std::string_view kRetryFormatName = "retry";

// Base of the archive, verify and recover methods. A parameter that was not written is
// std::nullopt; one written with an empty text is an empty string.
class FormatSpecificationMethod {
public:
    virtual ~FormatSpecificationMethod() = default;

    virtual std::string method_name() const = 0;
    virtual void read_executable(Parser& parser);
    virtual void read_arguments(Parser& parser);
    virtual void read_workdir(Parser& parser);
    // The base part: executable, arguments and workdir.
    virtual std::string to_text() const;

    // Reads the method's parameter list, entered at the method keyword, then checks that the
    // required parameters are present.
    void read(Parser& parser);

    std::optional<std::string> executable;
    std::optional<std::string> arguments;
    std::optional<std::string> workdir;

protected:
    // Reads a parameter other than executable, arguments and workdir, or fails.
    virtual void read_parameter(Parser& parser) = 0;
    virtual void check_required(const Parser& parser) const = 0;
    void read_text_parameter(Parser& parser, std::optional<std::string>& field,
                             std::string_view name);
};

// A method whose program's output names the stored files through `filepattern`.
class FormatSpecificationOutputMethod : public FormatSpecificationMethod {
public:
    std::optional<std::string> filepattern;
    uint32_t path_group = 0;
    uint32_t checksum_group = 0;

protected:
    void read_parameter(Parser& parser) override;
    std::string render(std::string_view keyword) const;

private:
    void read_filepattern(Parser& parser);
};

class FormatSpecificationArchive : public FormatSpecificationOutputMethod {
public:
    std::string method_name() const override { return "archive method"; }
    std::string to_text() const override;

protected:
    void check_required(const Parser& parser) const override;
};

class FormatSpecificationVerify : public FormatSpecificationOutputMethod {
public:
    std::string method_name() const override { return "verify method"; }
    std::string to_text() const override;

protected:
    void check_required(const Parser& parser) const override;
};

class FormatSpecificationRecover : public FormatSpecificationMethod {
public:
    struct Copy {
        std::string source;
        std::string destination;
    };

    std::string method_name() const override { return "recover method"; }
    std::string to_text() const override;

    std::vector<Copy> copies;

protected:
    void read_parameter(Parser& parser) override;
    void check_required(const Parser& parser) const override;

private:
    void read_copy(Parser& parser);
};

class FormatSpecification {
public:
    virtual ~FormatSpecification() = default;
    virtual std::string to_text() const;

    std::string name;
    std::unique_ptr<FormatSpecificationArchive> archive;
    std::unique_ptr<FormatSpecificationVerify> verify;
    std::unique_ptr<FormatSpecificationRecover> recover;
};

class FormatSelectorCondition {
public:
    virtual ~FormatSelectorCondition() = default;
    // True without an expression, else the expression's result.
    virtual bool matches(const IFileEntry& entry) const;
    virtual std::string to_text() const;

    std::string format_name;
    std::unique_ptr<SelectExpr> expression;
    // The format named by `format_name`; set by Config::validate.
    const FormatSpecification* format = nullptr;
};

class FormatSelector {
public:
    virtual ~FormatSelector() = default;
    virtual std::string to_text() const;

    // Tests every condition; the last one that matches decides. Null when none matches or the
    // configuration has not been validated.
    const FormatSpecification* choose(const IFileEntry& entry) const;

    std::vector<std::unique_ptr<FormatSelectorCondition>> conditions;
};

// One warning line for each condition of `selector` that can never be chosen: every entry also
// matches a later condition without expression, and the last matching condition decides. Each
// line names the condition's 1-based position, its rendering and the last condition without
// expression.
std::vector<std::string> inert_condition_warnings(const FormatSelector& selector);

class SelectorVerifierItem {
public:
    virtual ~SelectorVerifierItem() = default;
    virtual std::string to_text() const;

    bool exclude = false;
    uint32_t number = 0;
    std::string first_text;
    std::string second_text;
};

class SelectorVerifier {
public:
    SelectorVerifier() = default;
    virtual ~SelectorVerifier() = default;
    SelectorVerifier(SelectorVerifier&&) = default;
    SelectorVerifier& operator=(SelectorVerifier&&) = default;

    virtual std::string to_text() const;

    std::vector<SelectorVerifierItem> items;
};

// Readers, each entered at its keyword and returning with the token after its ")" current.
std::unique_ptr<FormatSpecification> read_format_specification(Parser& parser);
std::unique_ptr<FormatSelector> read_format_selector(Parser& parser);
SelectorVerifier read_selector_verifier(Parser& parser);

} // namespace vesk
