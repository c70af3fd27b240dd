#include "config/config.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "config/parser.h"
#include "config_test_support.h"
#include "support/run_command.h"

namespace vesk {
namespace {

using testing::FakeEntry;

std::unique_ptr<Config> parsed(std::string_view text) {
    Parser parser(text);
    return parser.parse();
}

std::string named(std::string_view name) {
    return "format_specification(\"" + std::string(name) +
           R"j(", archive(executable("r"), arguments("r"), filepattern("(.*)", 1))))j";
}

TEST(Config, JobsReadValidateRenderAndWarn) {
    testing::check_cases("config_cases.txt",
                         {{"parse", [](auto text) { return parsed(text)->to_text(); }},
                          {"mode", [](auto text) { return parsed(text)->mode->to_text(); }},
                          {"job", [](auto text) { return parse_job(text)->to_text(); }},
                          {"valid", [](auto text) { return parse_job(text) ? "valid" : "null"; }},
                          {"format name",
                           [](std::string_view name) {
                               return parse_job(named("zip") + named(name) +
                                                "select_format(format(\"zip\"))")
                                   ->to_text();
                           }},
                          {"warnings", [](auto text) {
                               std::string lines;
                               for (const auto& warning : parsed(text)->selection_warnings()) {
                                   lines += (lines.empty() ? "" : "\n") + warning;
                               }
                               return lines;
                           }}});
}

TEST(Config, ValidateLinksConditionsAndMayRunTwice) {
    const auto config = parsed(named("zip") + named("txt") + R"j(
        select_format(format("zip"), format("txt", name("*.txt")), format("zip", larger(1g))))j");
    config->validate();
    const auto* zip = config->format_specifications[0].get();
    const auto* txt = config->format_specifications[1].get();
    // The last matching condition decides.
    EXPECT_EQ(config->select_format->choose(FakeEntry("a/b.txt")), txt);
    EXPECT_EQ(config->select_format->choose(FakeEntry("a/b.txt", 2ULL << 30)), zip);
    EXPECT_EQ(config->select_format->choose(FakeEntry("a/b.doc")), zip);
    EXPECT_NO_THROW(config->validate());
    EXPECT_EQ(config->select_format->conditions[1]->format, txt);
    // Only the command line makes a job dry or verbose.
    EXPECT_FALSE(config->dry_run || config->verbose_archiving || config->verbose_verification);
}

// Hostile inputs and inputs found by fuzzing: each must end in a Config or in an error
// message, never in a crash or a hang.
TEST(Config, HostileInputsEndInAMessage) {
    int inputs = 0;
    for (const auto& file : std::filesystem::directory_iterator(
             std::filesystem::path(VESK_SOURCE_DIR) / "tests" / "fuzz" / "regressions")) {
        const std::string outcome =
            testing::message_of([&] { parse_job(testing::read_file(file.path())); });
        EXPECT_TRUE(outcome == "no error" || outcome.starts_with("Error") ||
                    outcome.starts_with("Regex_exception: "))
            << file.path() << ": " << outcome;
        ++inputs;
    }
    EXPECT_GE(inputs, 7);
}

} // namespace
} // namespace vesk
