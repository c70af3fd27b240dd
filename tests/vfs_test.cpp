#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "platform/exceptions.h"
#include "platform/vfs.h"
#include "support/case_file.h"
#include "support/run_command.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

using testing::path_of;
using testing::read_file;
using testing::ScratchDir;
using testing::set_mtime;
using testing::write_file;

// The names the cases give the system's codes.
#ifdef _WIN32
const std::map<uint32_t, std::string> kCodeNames{
    {206, "too long"}, {183, "exists"}, {80, "exists"}, {2, "missing"}, {3, "missing"}};
constexpr const char* kCases = "vfs_cases_win32.txt";
#else
const std::map<uint32_t, std::string> kCodeNames{
    {ENAMETOOLONG, "too long"}, {EEXIST, "exists"}, {ENOENT, "missing"}};
constexpr const char* kCases = "vfs_cases.txt";
#endif

// A failure as the cases show it: the message with the scratch directory as "@" and, in place
// of the system's text, the name of its code ("too long", "exists", "missing" or "other").
std::string shown(const VfsException& error, const std::string& scratch = "@") {
    std::string text = error.what();
    const size_t details = text.rfind(" Details: " + system_error_text(error.code()));
    EXPECT_NE(details, text.npos) << text;
    const auto name = kCodeNames.find(error.code());
    text =
        text.substr(0, details) + " (" + (name == kCodeNames.end() ? "other" : name->second) + ")";
    for (size_t at; (at = text.find(scratch)) != text.npos;)
        text.replace(at, scratch.size(), "@");
    return text;
}

// The facts of an entry as the cases show them: the kind, then for all but a link the size and
// the modification time ("recent" within the last ten minutes).
std::string shown(const VfsEntryFacts& facts) {
    const char* kinds[] = {"Missing", "File", "Directory", "Link", "Other", "Unknown"};
    const bool recent = facts.modified_time > std::time(nullptr) - 600;
    return kinds[static_cast<int>(facts.kind)] +
           (facts.kind == VfsEntryKind::Link
                ? ""
                : " " + std::to_string(facts.size) + " " +
                      (recent ? "recent" : std::to_string(facts.modified_time)));
}

// Makes a symbolic link to `target` at `link`; false when the system refuses.
bool make_link(const std::string& target, const std::string& link) {
#ifdef _WIN32
    const DWORD flags = fs::is_directory(path_of(target)) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    return ::CreateSymbolicLinkW(path_of(link).make_preferred().c_str(),
                                 path_of(target).make_preferred().c_str(),
                                 flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
#else
    return ::symlink(target.c_str(), link.c_str()) == 0;
#endif
}

// Runs the steps of a case in a fresh scratch directory (see tests/data/vfs_fs_cases.txt) and
// tells each step's result.
std::string fs_steps(std::string_view text) {
    using namespace std::chrono;
    ScratchDir dir;
    const std::string scratch = dir.path().generic_string();
    const fs::path previous = fs::current_path();
    VfsPath path(true);
    const char* buffer = path.normal_view().data();
    std::vector<std::unique_ptr<VfsDirectoryLock>> locks;
    std::istringstream lines{std::string(text)};
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string step, a, b, result = "ok";
        words >> step >> a >> b;
        // "#N" stands for a text of N letters.
        std::string rest = line.substr(std::min(line.size(), step.size() + 1));
        rest = rest.starts_with('#') ? std::string(std::stoul(rest.substr(1)), 'x') : rest;
        const auto at = [&](const std::string& name) {
            return name.starts_with('=') ? name.substr(1) : scratch + "/" + name;
        };
        const VfsPath from(!step.starts_with('?'), step == "path" ? "" : at(a)), to(true, at(b));
        const auto shown_path = [&] { // a long text by its size
            const std::string normal(path.normal_view());
            return (normal.size() > 200 ? "#" + std::to_string(normal.size()) : normal) + " " +
                   std::to_string(path.separator_count());
        };
        const std::map<std::string, std::function<void()>> steps{
            {"path",
             [&] {
                 path.set(rest);
                 const auto views = path.components_view();
                 EXPECT_EQ(path.components_copy(),
                           std::vector<std::string>(views.begin(), views.end()));
                 result = shown_path() + " ";
                 for (const auto& component : views)
                     result += "[" + std::string(component) + "]";
             }},
            {"+", [&] { path.append(rest); }},
            {"-", [&] { result = "[" + path.pop() + "] "; }},
            {"write", [&] { write_file(at(a), rest.substr(std::min(rest.size(), a.size() + 1))); }},
            {"read", [&] { result = fs::exists(at(a)) ? read_file(at(a)) : "<missing>"; }},
            {"time",
             [&] {
                 result =
                     std::to_string(floor<seconds>(file_clock::to_sys(fs::last_write_time(at(a))))
                                        .time_since_epoch()
                                        .count());
             }},
            {"set-time", [&] { result = set_mtime(at(a), std::stoll(b)) ? "ok" : "failed"; }},
            {"facts",
             [&] {
                 result = std::to_string(from.attributes()) + (from.exists() ? " exists" : "") +
                          (from.is_file() ? " file" : "") +
                          (from.is_directory() ? " directory" : "");
             }},
            {"entry", [&] { result = shown(from.entry_facts()); }},
            {"names",
             [&] {
                 auto names = from.list_names();
                 std::sort(names.begin(), names.end());
                 result.clear();
                 for (const std::string& name : names)
                     result += "[" + name + "]";
             }},
            {"rmtree", [&] { from.remove_tree(); }},
            {"readonly", [&] { fs::permissions(path_of(at(a)), fs::perms::owner_read); }},
            {"link", [&] { result = make_link(at(a), at(b)) ? "ok" : "failed"; }},
            {"tempdir",
             [&] {
                 auto temporary = std::make_unique<VfsTemporaryDirectory>(a);
                 const fs::path made = path_of(temporary->path());
                 const bool placed = fs::temp_directory_path() / made.filename() == made &&
                                     made.filename().string().starts_with(a);
                 result = placed && fs::is_directory(made) ? "made" : "misplaced";
                 write_file(made / "inside.txt", "x");
                 temporary.reset();
                 result += fs::exists(made) ? " left" : " gone";
             }},
            {"copy", [&] { from.copy_to(to, false); }},
            {"replace", [&] { from.copy_to(to, true); }},
            {"move", [&] { from.move_to(to); }},
            {"delete", [&] { from.delete_file(); }},
            {"mkdir", [&] { from.create_directory(); }},
            {"mkdirs", [&] { from.create_directories(); }},
            {"?mkdirs", [&] { from.create_directories(); }},
            {"rmdir", [&] { from.remove_directory(); }},
            {"flush", [&] { from.flush_directory(); }},
            {"cd", [&] { fs::current_path(scratch); }},
            {"lock",
             [&] {
                 locks.push_back(VfsDirectoryLock::try_lock(from));
                 result = locks.back() ? "locked" : "busy";
             }},
            {"unlock", [&] { locks.clear(); }},
            {"private",
             [&] {
                 const std::string payload(std::stoul(b), 'p');
                 auto file = VfsFile::CreatePrivate(from);
                 result = std::to_string(file->Write(payload));
                 file->Flush();
                 file->Close();
                 file->Close(); // a second close does nothing
                 result += read_file(at(a)) == payload ? " bytes" : " bytes, read back differently";
             }},
#ifndef _WIN32
            {"fifo", [&] { result = ::mkfifo(at(a).c_str(), 0600) == 0 ? "ok" : "failed"; }},
#endif
        };
        try {
            steps.at(step)();
            if (step == "+" || step == "-")
                result = (step == "+" ? "" : result) + shown_path();
            if (from.last_error())
                result = shown(*from.last_error(), scratch);
        } catch (const VfsException& error) {
            result = shown(error, scratch);
        }
        out += (out.empty() ? "" : "\n") + result;
    }
    EXPECT_EQ(path.normal_view().data(), buffer); // changed in place
    fs::current_path(previous);
    return out;
}

TEST(Vfs, Cases) {
    testing::check_cases(kCases, {{"fs", fs_steps}});
    testing::check_cases("vfs_fs_cases.txt", {{"fs", fs_steps}});
}

// Links have cases of their own, run where the system makes them.
TEST(Vfs, LinkCases) {
    const ScratchDir dir;
    if (!make_link(testing::utf8(dir.path()), testing::utf8(dir / "probe")) ||
        !fs::exists(dir / "probe"))
        GTEST_SKIP() << "no symbolic link can be made here (Wine only pretends to make them)";
    testing::check_cases("vfs_link_cases.txt", {{"fs", fs_steps}});
}

} // namespace
} // namespace vesk
