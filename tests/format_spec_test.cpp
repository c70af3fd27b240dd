#include "config/format_spec.h"

#include <gtest/gtest.h>

#include "config/config.h"
#include "config/parser.h"
#include "config_test_support.h"

namespace vesk {
namespace {

using testing::FakeEntry;
using testing::message_of;

std::unique_ptr<FormatSpecification> spec_of(std::string_view text) {
    Parser parser(text);
    parser.next_token();
    auto spec = read_format_specification(parser);
    EXPECT_EQ(parser.token_kind(), Parser::end_of_file);
    return spec;
}

std::string spec_error(std::string_view text) {
    return message_of([&] { spec_of(text); });
}

const std::string archive_ab = R"j(archive(executable("a"), arguments("b"), )j";

TEST(FormatSpecification, ArchiveWithFilePattern) {
    auto spec = spec_of(R"j(format_specification("zip", archive(executable("a.exe"),
        arguments("x"), filepattern("^(.*)$", 1))))j");
    EXPECT_EQ(spec->name, "zip");
    ASSERT_TRUE(spec->archive);
    EXPECT_EQ(spec->archive->executable, "a.exe");
    EXPECT_EQ(spec->archive->arguments, "x");
    EXPECT_EQ(spec->archive->workdir, std::nullopt);
    EXPECT_EQ(spec->archive->filepattern, "^(.*)$");
    EXPECT_EQ(spec->archive->path_group, 1u);
    EXPECT_EQ(spec->archive->checksum_group, 0u);
    EXPECT_FALSE(spec->verify);
    EXPECT_FALSE(spec->recover);

    spec = spec_of(R"j(format_specification("zip", archive(executable("a"), arguments("x"),
        workdir(""), filepattern("^(.*) ([0-9a-f]+)$", 1, 4294967298),)))j");
    EXPECT_EQ(spec->archive->checksum_group, 2u); // low 32 bits
    EXPECT_EQ(spec->archive->workdir, "");        // written empty is not absent
}

TEST(FormatSpecification, VerifyAndRecoverMethods) {
    auto spec = spec_of(R"j(format_specification("z", archive(executable("a"), arguments("x")),
        verify(executable("v.exe"), arguments("y"), filepattern("(.*)", 1)),
        recover(executable("r"), arguments(""), copy("C:\x", "x"), copy("C:\y", "y"))))j");
    ASSERT_TRUE(spec->verify);
    EXPECT_EQ(spec->verify->filepattern, "(.*)");
    ASSERT_TRUE(spec->recover);
    EXPECT_EQ(spec->recover->arguments, "");
    ASSERT_EQ(spec->recover->copies.size(), 2u);
    EXPECT_EQ(spec->recover->copies[0].source, "C:\\x");
    EXPECT_EQ(spec->recover->copies[1].destination, "y");
}

TEST(FormatSpecification, MethodMessages) {
    const std::string p = "format_specification(\"z\", ";
    EXPECT_EQ(spec_error(p + R"j(archive(executable("a"), arguments("b"), executable("c"))))j"),
              "Error on line 1: A archive method can only specify one 'executable' "
              "parameter..");
    EXPECT_EQ(spec_error(p + archive_ab + R"j(arguments("c"))))j"),
              "Error on line 1: A archive method can only specify one 'arguments' parameter..");
    EXPECT_EQ(spec_error(p + archive_ab + R"j(workdir(""), workdir(""))))j"),
              "Error on line 1: A archive method can only specify one 'workdir' parameter..");
    EXPECT_EQ(spec_error(p + archive_ab + R"j(filepattern("x", 1), filepattern("x", 1))))j"),
              "Error on line 1: A archive method can only specify one 'filepattern' parameter..");
    EXPECT_EQ(spec_error(p + R"j(archive(executable("a"))))j"),
              "Error on line 1: A archive method must specify at least 'executable' and "
              "'arguments' parameters..");
    EXPECT_EQ(spec_error(p + R"j(archive(executable("a"), arguments("b")), )j" +
                         R"j(recover(executable("a"))))j"),
              "Error on line 1: A recover method must specify at least 'executable' and "
              "'arguments' parameters..");
    EXPECT_EQ(spec_error(p + R"j(archive(executable("a"), arguments("b")), )j" +
                         R"j(verify(executable("a"), arguments("b"))))j"),
              "Error on line 1: A verify method must specify at least 'executable', "
              "'arguments', and 'filepattern' parameters..");
    EXPECT_EQ(spec_error(p + R"j(archive(copy("a", "b"))))j"),
              "Error on line 1: A archive method can only specify 'executable', 'arguments', "
              "'workdir', and 'filepattern' parameters..");
    EXPECT_EQ(
        spec_error(p + archive_ab + R"j(filepattern("x", 1)), recover(filepattern("a", 1))))j"),
        "Error on line 1: A recover method can only specify 'executable', 'arguments', "
        "'workdir', and 'copy' parameters..");
}

TEST(FormatSpecification, ArgumentMessages) {
    const std::string p = "format_specification(\"z\", " + archive_ab;
    EXPECT_EQ(spec_error(p + R"j(filepattern(1, 1))))j"),
              "Error on line 1: First argument to a filepattern has to be a regular expression "
              "for parsing filenames from the standard output of the executable..");
    EXPECT_EQ(spec_error(p + R"j(filepattern("x"))))j"),
              "Error on line 1: Unexpected token <right-paranthesis> ')'. expected <comma>.");
    EXPECT_EQ(spec_error(p + R"j(filepattern("x", "1"))))j"),
              "Error on line 1: Second argument to a filepattern has to be an integer telling "
              "the filepath capture group of the regular expression..");
    EXPECT_EQ(spec_error(p + R"j(filepattern("x", 1, "2"))))j"),
              "Error on line 1: Last argument to a filepattern has to be an integer telling the "
              "checksum capture group of the regular expression..");
    const std::string r =
        "format_specification(\"z\", " + archive_ab + R"j(filepattern("x", 1)), recover()j";
    EXPECT_EQ(spec_error(r + R"j(copy(x, "b"))))j"),
              "Error on line 1: First argument to a copy has to supply absolute path to a file "
              "or directory..");
    EXPECT_EQ(spec_error(r + R"j(copy("a", 2))))j"),
              "Error on line 1: Last argument to a copy has to supply relative path and "
              "filename where the file is to be put in the backup ..");
}

TEST(FormatSpecification, StructureMessages) {
    EXPECT_EQ(spec_error(R"j(format_specification(zip))j"),
              "Error on line 1: A format_specification must start with a string parameter "
              "containing the name of the format, then followed by the supported methods of the "
              "format..");
    const std::string archive_fp = R"j(archive(executable("a"), arguments("b"),
        filepattern("x", 1)))j";
    EXPECT_EQ(spec_error("format_specification(\"z\", " + archive_fp + ", " + archive_fp + ")"),
              "Error on line 2: A format_specification can only specify one 'archive' method..");
    EXPECT_EQ(spec_error(R"j(format_specification("z", backup()))j"),
              "Error on line 1: A format_specification can only specify 'archive', 'verify', "
              "and 'recover' methods..");
    const std::string at_least =
        "A format_specification must specify at least an 'archive' method. If the 'archive' "
        "method does not have a 'filepattern' specified, you must also have a 'verify' "
        "method..";
    EXPECT_EQ(spec_error("format_specification(\"z\")"), "Error on line 1: " + at_least);
    // Checks after the closing parenthesis report the line of the following token.
    EXPECT_EQ(spec_error("format_specification(\"z\", archive(executable(\"a\"), "
                         "arguments(\"x\")))\n\n"),
              "Error on line 3: " + at_least);
    EXPECT_EQ(spec_error("format_specification(\"z\", " + archive_fp +
                         R"j(, verify(executable("v"), arguments("y"), filepattern("(.*)", 1))))j"),
              "Error on line 2: A format_specification cannot have both a 'archive' method "
              "with a 'filepattern', while also having a 'verify' method..");
}

TEST(FormatSpecification, Rendering) {
    const auto spec = spec_of(R"j(format_specification("zip", archive(executable("a.exe"),
        arguments("x %archive%"), filepattern("^(.*)$", 1))))j");
    EXPECT_EQ(spec->to_text(), "format_specification(\n\"zip\"\n, archive(\n"
                               "executable(\"a.exe\")\n, arguments(\"x %archive%\")\n, "
                               "workdir(\"\")\n, filepattern(\"^(.*)$\", 1, 0)\n)\n, null, "
                               "null)\n");
    const auto full = spec_of(R"j(format_specification("7z", archive(executable("a"),
        arguments("b")), verify(executable("v"), arguments("w"), workdir("d"),
        filepattern("p", 2, 3)), recover(executable("r"), arguments("s"), copy("x", "y"))))j");
    EXPECT_EQ(full->verify->to_text(), "verify(\nexecutable(\"v\")\n, arguments(\"w\")\n, "
                                       "workdir(\"d\")\n, filepattern(\"p\", 2, 3)\n)\n");
    EXPECT_EQ(full->recover->to_text(), "recover(\nexecutable(\"r\")\n, arguments(\"s\")\n, "
                                        "workdir(\"\")\n, copy(\"x\", \"y\")\n)\n");
}

std::unique_ptr<FormatSelector> selector_of(std::string_view text) {
    Parser parser(text);
    parser.next_token();
    return read_format_selector(parser);
}

TEST(FormatSelector, LastMatchingConditionWins) {
    FormatSpecification a, b;
    const auto link = [&](FormatSelector& selector) {
        for (auto& condition : selector.conditions) {
            condition->format = condition->format_name == "a" ? &a : &b;
        }
    };
    auto default_first = selector_of(R"j(select_format(format("a"), format("b", name("*.txt"))))j");
    link(*default_first);
    EXPECT_EQ(default_first->choose(FakeEntry("x/readme.txt")), &b);
    EXPECT_EQ(default_first->choose(FakeEntry("x/readme.doc")), &a);

    auto default_last = selector_of(R"j(select_format(format("b", name("*.txt")), format("a"),))j");
    link(*default_last);
    EXPECT_EQ(default_last->choose(FakeEntry("x/readme.txt")), &a);
    EXPECT_EQ(default_last->to_text(),
              "select_format(\nformat(b, name(<pattern>))\n, format(a, )\n)");
}

TEST(FormatSelector, Messages) {
    const auto error = [](std::string_view text) { return message_of([&] { selector_of(text); }); };
    EXPECT_EQ(error("select_format()"),
              "Error on line 1: You must specify at least one format selector. The condition can "
              "be empty to match all files..");
    EXPECT_EQ(error(R"j(select_format(fmt("a")))j"),
              "Error on line 1: The identifier 'fmt' is not valid directive for select_format.");
    EXPECT_EQ(error("select_format(format(a))"),
              "Error on line 1: A format condition must start with a string parameter "
              "containing the name of the format, then followed by the expression..");
    EXPECT_EQ(error(R"j(select_format(format("a",)))j"),
              "Error on line 1: the clause must be one of 'path_re', 'name_re', 'parent_re', "
              "'larger', 'smaller', 'older', 'younger'. ')' is not a recognized clause.");
}

TEST(SelectorVerifier, ItemsAndMessages) {
    Parser parser(R"j(verify_select(include(1, "a", "b"), exclude(4294967298, "c", "d")))j");
    parser.next_token();
    const SelectorVerifier verifier = read_selector_verifier(parser);
    ASSERT_EQ(verifier.items.size(), 2u);
    EXPECT_FALSE(verifier.items[0].exclude);
    EXPECT_TRUE(verifier.items[1].exclude);
    EXPECT_EQ(verifier.items[1].number, 2u);
    EXPECT_EQ(verifier.to_text(), "\ninclude(1, \"a\", \"b\")\n, exclude(2, \"c\", \"d\")\n");

    const auto error = [](std::string_view text) {
        return message_of([&] {
            Parser p(text);
            p.next_token();
            read_selector_verifier(p);
        });
    };
    EXPECT_EQ(error(R"j(verify_select(include(name("x"), "a", "b")))j"),
              "Error on line 1: Unexpected token <identifier> 'name'. expected one of "
              "<<integer>>.");
    EXPECT_EQ(error(R"j(verify_select(keep(1, "a", "b")))j"),
              "Error on line 1: selector verifiers must be wrapped in either 'include' or "
              "'exclude' determinators. 'keep' is not a recognized determinator.");
    EXPECT_EQ(error(R"j(verify_select(include(1, "a", 2)))j"),
              "Error on line 1: Unexpected token <integer> '2'. expected one of <<string>>.");
}

} // namespace
} // namespace vesk
