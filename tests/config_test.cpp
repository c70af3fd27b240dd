#include "config/config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/parser.h"
#include "config_test_support.h"

namespace vesk {
namespace {

using testing::FakeEntry;
using testing::message_of;

std::unique_ptr<Config> parsed(std::string_view text) {
    Parser parser(text);
    return parser.parse();
}

std::string parse_error(std::string_view text) {
    return message_of([&] { parsed(text); });
}

std::string job_error(std::string_view text) {
    return message_of([&] { parse_job(text); });
}

const std::string zip_format = R"j(format_specification("zip", archive(executable("7z.exe"),
    arguments("a %archive% @%listfile%"), filepattern("^Compressing  (.*)$", 1))))j";

TEST(Config, DefaultsAndTopLevel) {
    const auto config = parsed("  # only comments\n// and blanks\n\xEF\xBB\xBF\n");
    EXPECT_EQ(config->source_dir, "");
    EXPECT_NE(dynamic_cast<const FullMode*>(config->mode.get()), nullptr);
    EXPECT_TRUE(config->select_dirs.items.empty());
    EXPECT_FALSE(config->select_format);
    EXPECT_TRUE(config->format_specifications.empty());
    EXPECT_FALSE(config->dry_run || config->verbose_archiving || config->verbose_verification);

    const auto repeated = parsed(R"j(source_dir("a") source_dir("b") destination_dir("d")
        select_files(exclude()) select_files(include(), include())
        )j" + zip_format + zip_format);
    EXPECT_EQ(repeated->source_dir, "b");
    EXPECT_EQ(repeated->destination_dir, "d");
    EXPECT_EQ(repeated->select_files.items.size(), 2u);
    EXPECT_EQ(repeated->format_specifications.size(), 2u);

    EXPECT_EQ(parse_error("foo"), "Error on line 1: The identifier 'foo' is not valid.");
    EXPECT_EQ(parse_error(")"), "Error on line 1: Unexpected token <right-paranthesis> ')'. "
                                "expected one of <<identifier>, <end-of-file>>.");
    EXPECT_EQ(parse_error("source_dir()"),
              "Error on line 1: Unexpected token <right-paranthesis> ')'. expected one of "
              "<<string>>.");
}

TEST(Config, Modes) {
    const auto mode_of = [](std::string_view text) { return parsed(text)->mode->to_text(); };
    EXPECT_EQ(mode_of("mode(full())"), "full()");
    EXPECT_EQ(mode_of("mode(incremental(3))"), "incremental(3)");
    EXPECT_EQ(mode_of("mode(incremental(-1))"), "incremental(-1)");
    EXPECT_EQ(mode_of("mode(incremental(0))"), "incremental(0)");
    EXPECT_EQ(mode_of("mode(incremental(4294967299))"), "incremental(3)");
    EXPECT_EQ(mode_of("mode(window(1k))"), "window(1024)");
    EXPECT_EQ(mode_of("mode(full()) mode(rolling(7))"), "rolling(7)");
    const auto incremental = parsed("mode(incremental(3))");
    const auto* mode = dynamic_cast<const IncrementalMode*>(incremental->mode.get());
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->count, 3);

    EXPECT_EQ(parse_error("mode(Incremental(3))"),
              "Error on line 1: The identifier 'Incremental' is not valid mode.");
    EXPECT_EQ(parse_error("mode(window())"),
              "Error on line 1: Unexpected token <right-paranthesis> ')'. expected one of "
              "<<integer>>.");
    EXPECT_EQ(parse_error("mode(full)"), "Error on line 1: Unexpected token <right-paranthesis> "
                                         "')'. expected <left-paranthesis>.");
    EXPECT_EQ(parse_error("mode(;)\n"), "Error on line 1: Unexpected token <invalid> ';)'. "
                                        "expected one of <<identifier>>.");
}

TEST(Config, ValidationMessagesInOrder) {
    const std::string no_trivial = "Error: a 'select_format' directive must be specified, and "
                                   "have at least one trivial condition.";
    EXPECT_EQ(job_error(""), no_trivial);
    EXPECT_EQ(job_error(zip_format + R"j(select_format(format("zip", name("*"))))j"), no_trivial);
    EXPECT_EQ(job_error(zip_format + R"j(select_format(format("tar")))j"),
              "Error: 'select_format' refers to a format 'tar' which has not been mentioned in "
              "any 'format_specification' directives.");
    EXPECT_EQ(job_error(zip_format + zip_format + R"j(select_format(format("zip")))j"),
              "Error: 'select_format' refers to the format 'zip' which has been mentioned in "
              "more than one 'format_specification' directive.");
    const auto named = [](std::string_view name) {
        return "format_specification(\"" + std::string(name) +
               R"j(", archive(executable("r"), arguments("r"), filepattern("(.*)", 1))))j";
    };
    const std::string retry_format = named("retry");
    EXPECT_EQ(job_error(zip_format + retry_format + R"j(select_format(format("retry")))j"),
              "Error: 'select_format' refers to a format 'retry' which is a special format that "
              "may not be used in 'select_format'.");
    EXPECT_EQ(job_error(zip_format + R"j(select_format(format("retry")))j"),
              "Error: 'select_format' refers to a format 'retry' which has not been mentioned in "
              "any 'format_specification' directives.");
    // A missing format is reported before a missing trivial condition.
    EXPECT_EQ(job_error(zip_format + R"j(select_format(format("tar", name("x"))))j"),
              "Error: 'select_format' refers to a format 'tar' which has not been mentioned in "
              "any 'format_specification' directives.");

    // Values that would split an archiver's command line or cannot be part of a file name; the
    // checks above come first.
    const std::string valid = zip_format + R"j(select_format(format("zip")))j";
    const auto bad_name = [](std::string_view name) {
        return "Error: the 'format_specification' name '" + std::string(name) +
               "' cannot be part of a file name; a name must not be empty, \".\" or \"..\", nor "
               "contain a control character or any of < > : \" / \\ | ? *.";
    };
    std::vector<std::pair<std::string, std::string>> cases{
        {valid + R"j(source_dir("C:\a""b"))j",
         "Error: the 'source_dir' value 'C:\\a\"b' contains a double quote, which cannot be "
         "passed on a command line."},
        {valid + R"j(destination_dir(" -sdel """))j",
         "Error: the 'destination_dir' value ' -sdel \"' contains a double quote, which cannot be "
         "passed on a command line."},
        {valid + named("a\"\"b"), bad_name("a\"b")},
        {R"j(source_dir("a""b"))j" + named("a/b"), no_trivial},
        {valid + named("retry") + named("7z.v2") + named("...") + named("a b") +
             named("\xC3\xA4\x7F") + R"j(source_dir("C:\a b") destination_dir("E:\"))j",
         "no error"},
    };
    for (const std::string name :
         {"", ".", "..", "a/b", "a\\b", "<", ">", ":", "|", "?", "*", "\t", "\x01", "x\x1F"}) {
        cases.push_back({valid + named(name), bad_name(name)});
    }
    for (const auto& [job, message] : cases) {
        EXPECT_EQ(job_error(job), message) << job;
    }
}

TEST(Config, ValidateLinksConditionsAndMayRunTwice) {
    const auto config = parsed(zip_format + R"j(
        format_specification("txt", archive(executable("t"), arguments("t"),
            filepattern("(.*)", 1)))
        select_format(format("zip"), format("txt", name("*.txt")), format("zip", larger(1g))))j");
    config->validate();
    const auto* zip = config->format_specifications[0].get();
    const auto* txt = config->format_specifications[1].get();
    EXPECT_EQ(config->select_format->choose(FakeEntry("a/b.txt")), txt);
    EXPECT_EQ(config->select_format->choose(FakeEntry("a/b.txt", 2ULL << 30)), zip);
    EXPECT_EQ(config->select_format->choose(FakeEntry("a/b.doc")), zip);
    EXPECT_NO_THROW(config->validate());
    EXPECT_EQ(config->select_format->conditions[1]->format, txt);
}

TEST(Config, RendersTheValidatedJob) {
    const auto config = parse_job(R"j(source_dir("src") destination_dir("dst"))j" + zip_format +
                                  R"j(select_format(format("zip")))j");
    EXPECT_EQ(config->to_text(),
              "source_dir(\"src\")\ndestination_dir(\"dst\")\nmode(full())\nselect_dirs()\n"
              "select_files()\nverify_select()\n"
              "format_specification(\n\"zip\"\n, archive(\nexecutable(\"7z.exe\")\n, "
              "arguments(\"a %archive% @%listfile%\")\n, workdir(\"\")\n, "
              "filepattern(\"^Compressing  (.*)$\", 1, 0)\n)\n, null, null)\n"
              "select_format(\nformat(zip, )\n)");

    const auto rich = parse_job(R"j(mode(incremental(5))
        select_dirs(exclude(name(".git") or name("node_modules")))
        select_files(include(), exclude(older("30d") and not larger(1m)))
        verify_select(include(1, "say ""hi""", "b")))j" +
                                zip_format + R"j(select_format(format("zip")))j");
    const std::string text = rich->to_text();
    EXPECT_EQ(text.substr(0, text.find("format_specification")),
              "source_dir(\"\")\ndestination_dir(\"\")\nmode(incremental(5))\n"
              "select_dirs(\nexclude(( name(<pattern>) or name(<pattern>) ))\n)\n"
              "select_files(\ninclude()\n, exclude(( older(2592000) and not larger(1048576) "
              "))\n)\nverify_select(\ninclude(1, \"say \"hi\"\", \"b\")\n)\n");
}

// Items that deleting would not change the selection for any entry are reported, and no others:
// an item that cuts the walk short for later items does change it.
TEST(Config, SelectionWarningsNameTheItemsThatCanNeverChangeTheResult) {
    const std::string never = "' can never change what is selected: ";
    const std::string file = "Warning: select_files item ";
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases{
        {R"j(select_dirs(exclude(name("cache")), exclude(name(".git")))
             select_format(format("zip", name("*.txt")), format("zip")))j",
         {"Warning: select_dirs item 2 'exclude(name(<pattern>))" + never +
              "it follows another exclude, and the list stops at the first item that does not "
              "match. Join the two with or.",
          "Warning: select_format condition 1 'format(zip, name(<pattern>))' can never be "
          "chosen: condition 2 'format(zip, )' after it matches every entry, and the last "
          "matching condition decides."}},
        {R"j(select_dirs(exclude(name("cache") or name(".git"))))j", {}},
        {R"j(select_files(include(name("src"))))j",
         {file + "1 'include(name(<pattern>))" + never +
          "it stands first, and a list selects every entry that it does not exclude."}},
        {R"j(select_files(include(), exclude(name("*.tmp")), include(path("keep/**"))))j",
         {file + "1 'include()" + never +
          "it stands first, and a list selects every entry that it does not exclude."}},
        {R"j(select_files(exclude(name("x")), include(), include()))j",
         {file + "1 'exclude(name(<pattern>))" + never +
              "item 2 'include()' after it matches every entry and decides in its place.",
          file + "3 'include()" + never +
              "it follows another include, and the list stops at the first item that does not "
              "match. Remove it."}},
        // Both could go alone, not together: only the later one is reported.
        {"select_files(exclude(), exclude())",
         {file + "2 'exclude()" + never +
          "it follows another exclude, and the list stops at the first item that does not "
          "match. Remove it."}},
        {R"j(select_files(include(name("a")), exclude(), exclude(name("y"))))j",
         {file + "3 'exclude(name(<pattern>))" + never +
          "it follows another exclude, and the list stops at the first item that does not "
          "match. Remove it."}},
        // Each of these items decides the outcome of some entries.
        {R"j(select_files(exclude(name("a")), exclude(name("b")), include(name("c"))))j", {}},
        {R"j(select_files(include(name("a")), exclude(name("b"))))j", {}},
        {R"j(select_files(exclude(name("a")), include(), exclude(name("b"))))j", {}},
        {R"j(select_files(exclude(), include(name("a"))) select_files(exclude()))j", {}},
        {R"j(select_format(format("zip"), format("zip", larger(1)), format("zip"),
             format("zip", smaller(1))))j",
         {"Warning: select_format condition 1 'format(zip, )' can never be chosen: condition 3 "
          "'format(zip, )' after it matches every entry, and the last matching condition decides.",
          "Warning: select_format condition 2 'format(zip, larger(1))' can never be chosen: "
          "condition 3 'format(zip, )' after it matches every entry, and the last matching "
          "condition decides."}},
        {R"j(select_format(format("zip"), format("zip", name("*.txt"))))j", {}},
    };
    for (const auto& [job, warnings] : cases) {
        EXPECT_EQ(parsed(job)->selection_warnings(), warnings) << job;
    }
}

TEST(Config, MultiLineJobReportsTheRightLine) {
    const std::string job = "source_dir(\"a\")\r\n# comment\r\n" + zip_format +
                            "\nselect_files(include(name(\"x\n\ny\")),\n  exclude(size(1)))";
    // zip_format spans two lines; the string with two line breaks does not count.
    EXPECT_EQ(parse_error(job),
              "Error on line 6: the clause must be one of 'path_re', 'name_re', 'parent_re', "
              "'larger', 'smaller', 'older', 'younger'. 'size' is not a recognized clause.");
}

// Hostile inputs and inputs found by fuzzing: each must end in a Config or in an error
// message, never in a crash or a hang.
TEST(Config, HostileInputsEndInAMessage) {
    const std::filesystem::path dir =
        std::filesystem::path(VESK_SOURCE_DIR) / "tests" / "fuzz" / "regressions";
    int inputs = 0;
    for (const auto& file : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(file.path(), std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        const std::string outcome = job_error(content.str());
        const bool clean = outcome == "no error" || outcome.rfind("Error", 0) == 0 ||
                           outcome.rfind("Regex_exception: ", 0) == 0;
        EXPECT_TRUE(clean) << file.path() << ": " << outcome;
        ++inputs;
    }
    EXPECT_GE(inputs, 7);
}

} // namespace
} // namespace vesk
