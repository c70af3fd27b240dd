// POSIX backend of the directory walker: openat, fdopendir and fstatat relative to the parent's
// descriptor. On more than one processor a helper thread examines the entries of the directories
// being walked from their far end, while the walk takes them in order from the near end.

#include "platform/dir_walk.h"
#include "platform/exceptions.h"

#include "platform/posix/unique_fd.h"
#include "platform/text_format.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sched.h>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace vesk {

namespace {

// Directories below the start keep their descriptor only while they are among the deepest
// kOpenLevels levels; older ones are reopened when the walk climbs back, so a very deep tree
// never runs out of descriptors. When the process's limit is lower still, the shallowest held
// descriptors are given up on demand (see open_dir).
constexpr size_t kOpenLevels = 64;
constexpr int kDirOpenFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY;
// Below the start, a directory that was replaced by a symbolic link after the listing is not
// followed either: opening it fails.
constexpr int kBelowStartFlags = kDirOpenFlags | O_NOFOLLOW;

class DirStream {
public:
    explicit DirStream(DIR* dir) : dir_(dir) {}
    DirStream(const DirStream&) = delete;
    DirStream& operator=(const DirStream&) = delete;
    ~DirStream() {
        if (dir_)
            ::closedir(dir_);
    }
    DIR* get() const { return dir_; }

private:
    DIR* dir_;
};

bool is_dot_entry(std::string_view name) {
    return name == "." || name == "..";
}

FileIdentity identity_of(const struct stat& st) {
    return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 0};
}

bool same_directory(int fd, const FileIdentity& identity) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && identity_of(st) == identity;
}

// The number of processors this process may run on (its affinity, not the machine's count).
int usable_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

bool needs_stat(unsigned char type) {
    return type != DT_FIFO && type != DT_SOCK && type != DT_CHR && type != DT_BLK;
}

// The examination of one directory's entries, shared by the walk and a helper thread. The walk
// takes entries from the front, in its order; the helper takes them from the back; each entry is
// examined once, by whoever claims it. The helper works on its own copy of the names and its own
// descriptor of the directory, so nothing of the walk's state is shared but the claims and the
// results.
class StatBatch {
public:
    StatBatch(int dir_fd, const char* records, size_t size)
        : fd_(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0)) {
        if (!fd_.valid())
            return;
        names_.assign(records, records + size);
        for (size_t at = 0; at < size; at += std::strlen(records + at + 1) + 2)
            offsets_.push_back(at);
        results_ = std::make_unique<Result[]>(offsets_.size());
        claims_.store(static_cast<uint64_t>(offsets_.size()) << 32);
    }
    bool usable() const { return fd_.valid(); }
    size_t size() const { return offsets_.size(); }

    // The helper: examines the last unclaimed entry; false when none is left.
    bool examine_from_back() {
        uint64_t claims = claims_.load();
        size_t index;
        do {
            const uint64_t front = claims & 0xFFFFFFFF, back = claims >> 32;
            if (front >= back)
                return false;
            index = back - 1;
        } while (!claims_.compare_exchange_weak(claims, (static_cast<uint64_t>(index) << 32) |
                                                            (claims & 0xFFFFFFFF)));
        examine(index);
        return true;
    }

    // The walk is done with the directory: nothing more is claimed.
    void abandon() {
        uint64_t claims = claims_.load();
        while (!claims_.compare_exchange_weak(claims, (claims >> 32 << 32) | (claims >> 32))) {
        }
    }

    // The walk: the result for entry `index` (taken in order), examined here when the helper
    // has not claimed it. Returns 0 or the errno value of the failed examination.
    int result(size_t index, struct stat& st) {
        // Entries before `index` that the walk passed over (dot entries, special files) are
        // claimed with it and never examined.
        uint64_t claims = claims_.load();
        while ((claims & 0xFFFFFFFF) <= index && index < (claims >> 32)) {
            if (claims_.compare_exchange_weak(claims, (claims >> 32 << 32) | (index + 1))) {
                examine(index);
                break;
            }
        }
        Result& result = results_[index];
        while (!result.ready.load(std::memory_order_acquire))
            std::this_thread::yield();
        st = result.st;
        return result.error;
    }

private:
    struct Result {
        struct stat st {};
        int error = 0;
        std::atomic<bool> ready{false};
    };

    void examine(size_t index) {
        Result& result = results_[index];
        const char* record = names_.data() + offsets_[index];
        if (needs_stat(static_cast<unsigned char>(record[0])) &&
            ::fstatat(fd_.get(), record + 1, &result.st, AT_SYMLINK_NOFOLLOW) != 0)
            result.error = errno;
        result.ready.store(true, std::memory_order_release);
    }

    UniqueFd fd_;
    std::vector<char> names_; // the directory's records: type byte, name, NUL
    std::vector<size_t> offsets_;
    std::unique_ptr<Result[]> results_;
    std::atomic<uint64_t> claims_{0}; // back << 32 | front
};

// A thread that examines entries of the directories the walk has listed, newest first, while
// the walk reports the ones it reached: the system's work of the walk spreads over two cores.
class StatHelper {
public:
    StatHelper() : thread_([this] { work(); }) {}
    ~StatHelper() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    StatHelper(const StatHelper&) = delete;
    StatHelper& operator=(const StatHelper&) = delete;

    void offer(std::shared_ptr<StatBatch> batch) {
        {
            const std::lock_guard lock(mutex_);
            batches_.push_back(std::move(batch));
        }
        wake_.notify_one();
    }

private:
    void work() {
        for (;;) {
            std::shared_ptr<StatBatch> batch;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !batches_.empty(); });
                if (stopping_)
                    return;
                batch = batches_.back();
            }
            if (!batch->examine_from_back()) {
                const std::lock_guard lock(mutex_);
                std::erase(batches_, batch);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<StatBatch>> batches_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace

// The walk state. Each directory's entries are read completely into `arena_` before any of
// them is reported, so only the descriptor of a directory stays open while its subtree is walked.
class DirWalker {
public:
    DirWalker(const WalkCallbacks& callbacks, bool skip_dot_entries)
        : callbacks_(callbacks), skip_dot_entries_(skip_dot_entries) {}

    WalkCounts walk(const std::vector<std::string>& start_components);

private:
    enum class Kind { skip, file, directory };

    // One directory on the current walk path.
    struct Level {
        UniqueFd fd;
        FileIdentity identity;
        size_t arena_begin = 0; // its entries: [arena_begin, arena_end) of arena_
        size_t arena_end = 0;
        size_t cursor = 0;
        size_t path_length = 0;           // length of its path in path_
        size_t name_offset = 0;           // its own name in the parent's entries (NUL-terminated)
        WalkEntry entry;                  // how it was reported, for leave_dir
        size_t next_index = 0;            // the number of its entries taken so far
        std::shared_ptr<StatBatch> batch; // shared with the helper thread, when there is one
    };

    void open_start(const std::vector<std::string>& components);
    int read_entries(int fd);
    UniqueFd open_dir(int dir_fd, const char* name);
    bool release_descriptor(int keep_fd);
    void step();
    void handle_entry(size_t level, unsigned char type, size_t name_offset);
    void handle_directory(size_t level, size_t name_offset);
    bool descend(size_t parent, size_t name_offset);
    int push_level(UniqueFd fd, size_t name_offset);
    void finish_directory(size_t parent);
    void pop_level();
    bool ensure_open(size_t level, int child_fd);
    bool reopen_by_names(size_t level);
    void limit_open_levels();

    Kind examine(size_t level, size_t index, unsigned char type, const char* name);
    void offer_batch(Level& level);
    Kind classify(const struct stat& st);
    Kind stat_failed(int error, const char* name);
    void take_facts(const struct stat& st, bool is_directory);
    void present(size_t level, size_t name_offset);
    bool on_walk_path(const FileIdentity& identity) const;
    std::string entry_display_path(const char* name) const;
    void log(const std::string& line) const;

    const char* arena_name(size_t offset) const { return arena_.data() + offset; }
    void stop_listing(size_t level) { levels_[level].cursor = levels_[level].arena_end; }

    const WalkCallbacks& callbacks_;
    const bool skip_dot_entries_;
    WalkCounts counts_;
    std::vector<Level> levels_;
    std::vector<char> arena_; // per entry: type byte, name, NUL
    std::string path_;        // path of the deepest directory on the walk path
    WalkEntry entry_;
    std::unique_ptr<StatHelper> helper_;
};

WalkCounts DirWalker::walk(const std::vector<std::string>& start_components) {
    // On a single processor a helper thread would only take turns with the walk.
    if (usable_processors() > 1)
        helper_ = std::make_unique<StatHelper>();
    open_start(start_components);
    while (!levels_.empty()) {
        Level& top = levels_.back();
        if (top.cursor < top.arena_end)
            step();
        else
            pop_level();
    }
    return counts_;
}

void DirWalker::open_start(const std::vector<std::string>& components) {
    std::string joined;
    for (size_t i = 0; i < components.size(); ++i)
        joined += (i == 0 ? "" : "/") + components[i];
    // A leading empty component stands for the root: {""} is "/", {"", "data"} is "/data".
    const bool absolute = !components.empty() && (components[0].empty() || joined.front() == '/');

    UniqueFd fd(::open(absolute ? "/" : ".", kDirOpenFlags));
    int error = fd.valid() ? 0 : errno;
    path_ = absolute ? "/" : "";
    for (size_t start = 0; error == 0 && start < joined.size();) {
        const size_t end = std::min(joined.find('/', start), joined.size());
        const std::string component = joined.substr(start, end - start);
        start = end + 1;
        if (component.empty())
            continue;
        fd = UniqueFd(::openat(fd.get(), component.c_str(), kDirOpenFlags));
        error = fd.valid() ? 0 : errno;
        path_ += (path_.empty() || path_.back() == '/' ? "" : "/") + component;
    }
    if (path_.empty())
        path_ = ".";

    struct stat st;
    if (error == 0 && ::fstat(fd.get(), &st) != 0)
        error = errno;
    if (error == 0)
        error = read_entries(fd.get());
    if (error != 0)
        throw std::runtime_error(format("Cannot list the source directory '%s'. Details: %s",
                                        escape_for_log(joined),
                                        system_error_text(static_cast<uint32_t>(error))));
    Level root;
    root.fd = std::move(fd);
    root.identity = identity_of(st);
    root.arena_end = arena_.size();
    root.path_length = path_.size();
    offer_batch(root);
    levels_.push_back(std::move(root));
}

// Lets the helper thread examine the level's entries from the back while the walk takes them
// from the front. Small directories are not worth the hand-over.
void DirWalker::offer_batch(Level& level) {
    constexpr size_t kMinBatchBytes = 16 * 8;
    if (!helper_ || !level.fd.valid() || level.arena_end - level.arena_begin < kMinBatchBytes)
        return;
    auto batch = std::make_shared<StatBatch>(level.fd.get(), arena_.data() + level.arena_begin,
                                             level.arena_end - level.arena_begin);
    if (batch->usable() && batch->size() >= 16) {
        level.batch = batch;
        helper_->offer(std::move(batch));
    }
}

// Appends the entries of the directory open at `fd` to arena_; returns 0 or the error.
int DirWalker::read_entries(int fd) {
    UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    while (!copy.valid() && (errno == EMFILE || errno == ENFILE) && release_descriptor(fd))
        copy = UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copy.valid())
        return errno;
    DirStream dir(::fdopendir(copy.get()));
    if (!dir.get())
        return errno;
    copy.release(); // now owned by the stream
    ::rewinddir(dir.get());
    for (;;) {
        errno = 0;
        const dirent* item = ::readdir(dir.get());
        if (!item)
            return errno;
        const size_t length = std::strlen(item->d_name);
        arena_.push_back(static_cast<char>(item->d_type));
        arena_.insert(arena_.end(), item->d_name, item->d_name + length + 1);
    }
}

// Opens the directory `name` below `dir_fd`. When the process is out of descriptors, the
// shallowest levels give theirs up one by one (they are reopened on the way back) until the
// open succeeds or only the start, the deepest level and `dir_fd` still hold one. errno tells
// the failure.
UniqueFd DirWalker::open_dir(int dir_fd, const char* name) {
    UniqueFd fd(::openat(dir_fd, name, kBelowStartFlags));
    while (!fd.valid() && (errno == EMFILE || errno == ENFILE) && release_descriptor(dir_fd))
        fd = UniqueFd(::openat(dir_fd, name, kBelowStartFlags));
    return fd;
}

// Closes the descriptor of the shallowest open level other than the start, the deepest level
// and `keep_fd`; false, with errno unchanged, when there is none.
bool DirWalker::release_descriptor(int keep_fd) {
    const int error = errno;
    for (size_t level = 1; level + 1 < levels_.size(); ++level) {
        UniqueFd& fd = levels_[level].fd;
        if (fd.valid() && fd.get() != keep_fd) {
            fd.reset();
            errno = error;
            return true;
        }
    }
    errno = error;
    return false;
}

void DirWalker::step() {
    const size_t level = levels_.size() - 1;
    Level& top = levels_[level];
    const auto type = static_cast<unsigned char>(arena_[top.cursor]);
    const size_t name_offset = top.cursor + 1;
    top.cursor = name_offset + std::strlen(arena_name(name_offset)) + 1;
    handle_entry(level, type, name_offset);
}

void DirWalker::handle_entry(size_t level, unsigned char type, size_t name_offset) {
    const char* name = arena_name(name_offset);
    const size_t index = levels_[level].next_index++;
    if (skip_dot_entries_ && is_dot_entry(name))
        return;
    switch (examine(level, index, type, name)) {
    case Kind::skip:
        return;
    case Kind::file:
        present(level, name_offset);
        if (!callbacks_.visit_file(entry_))
            stop_listing(level);
        return;
    case Kind::directory:
        handle_directory(level, name_offset);
        return;
    }
}

void DirWalker::handle_directory(size_t level, size_t name_offset) {
    present(level, name_offset);
    const bool looped = on_walk_path(entry_.identity_);
    bool enter = callbacks_.enter_dir(entry_);
    if (enter && looped) {
        ++counts_.loops_not_entered;
        log(format("Not entering directory '%s': it is already on the walk path (link loop).",
                   escape_for_log(entry_.display_path())));
        enter = false;
    }
    if (enter && descend(level, name_offset))
        return; // leave_dir follows when its listing is done
    finish_directory(level);
}

// Opens the directory just reported and makes it the deepest level. Returns false when it cannot
// be opened; a listing that fails part way keeps the entries read so far. Both are logged.
bool DirWalker::descend(size_t parent, size_t name_offset) {
    const char* name = arena_name(name_offset);
    UniqueFd fd = open_dir(levels_[parent].fd.get(), name);
    int error = fd.valid() ? 0 : errno;
    if (error == 0 && !same_directory(fd.get(), entry_.identity_))
        error = ESTALE; // replaced between the listing and the open
    if (error == 0)
        error = push_level(std::move(fd), name_offset);
    const bool pushed = levels_.size() > parent + 1;
    if (error != 0) {
        // Once pushed, path_ already names the directory.
        const std::string display = pushed ? path_ : entry_display_path(name);
        ++counts_.unreadable_dirs;
        log(format("Cannot list directory '%s': %s", escape_for_log(display),
                   system_error_text(static_cast<uint32_t>(error))));
    }
    return pushed;
}

// Reads the directory open at `fd` and pushes it; returns 0 or the listing error.
int DirWalker::push_level(UniqueFd fd, size_t name_offset) {
    Level child;
    child.identity = entry_.identity_;
    child.name_offset = name_offset;
    child.entry = entry_;
    child.arena_begin = arena_.size();
    const int error = read_entries(fd.get());
    child.fd = std::move(fd);
    child.cursor = child.arena_begin;
    child.arena_end = arena_.size();
    if (path_.back() != '/')
        path_ += '/';
    path_ += arena_name(name_offset);
    child.path_length = path_.size();
    offer_batch(child);
    levels_.push_back(std::move(child));
    limit_open_levels();
    return error;
}

void DirWalker::finish_directory(size_t parent) {
    if (!callbacks_.leave_dir(entry_))
        stop_listing(parent);
}

void DirWalker::pop_level() {
    const size_t done = levels_.size() - 1;
    if (levels_[done].batch)
        levels_[done].batch->abandon();
    if (done == 0) {
        levels_.pop_back();
        return;
    }
    const size_t parent = done - 1;
    const bool parent_open = ensure_open(parent, levels_[done].fd.get());
    entry_ = levels_[done].entry;
    arena_.resize(levels_[done].arena_begin);
    path_.resize(levels_[parent].path_length);
    const size_t name_offset = levels_[done].name_offset;
    levels_.pop_back();
    if (!parent_open)
        stop_listing(parent);
    present(parent, name_offset);
    finish_directory(parent);
}

// Makes sure the descriptor of `level` is open again after the walk climbed out of a deeper
// level; false (logged) when the directory can no longer be reached.
bool DirWalker::ensure_open(size_t level, int child_fd) {
    Level& target = levels_[level];
    if (target.fd.valid())
        return true;
    UniqueFd parent = open_dir(child_fd, "..");
    if (parent.valid() && same_directory(parent.get(), target.identity)) {
        target.fd = std::move(parent);
        return true;
    }
    // The directory was moved during the walk: follow the names from the nearest open level.
    if (reopen_by_names(level))
        return true;
    ++counts_.unreadable_dirs;
    log(format("Cannot return to directory '%s': it changed during the walk; its remaining entries "
               "were not examined.",
               escape_for_log(std::string_view(path_).substr(0, target.path_length))));
    return false;
}

bool DirWalker::reopen_by_names(size_t level) {
    size_t open_level = level;
    while (!levels_[open_level].fd.valid())
        --open_level; // the start directory always stays open
    UniqueFd current;
    int current_fd = levels_[open_level].fd.get();
    for (size_t next = open_level + 1; next <= level; ++next) {
        current = open_dir(current_fd, arena_name(levels_[next].name_offset));
        if (!current.valid())
            return false;
        current_fd = current.get();
    }
    Level& target = levels_[level];
    if (!same_directory(current_fd, target.identity))
        return false;
    target.fd = std::move(current);
    return true;
}

void DirWalker::limit_open_levels() {
    const size_t deepest = levels_.size() - 1;
    if (deepest > kOpenLevels)
        levels_[deepest - kOpenLevels].fd.reset();
}

DirWalker::Kind DirWalker::examine(size_t level, size_t index, unsigned char type,
                                   const char* name) {
    if (!needs_stat(type)) { // FIFOs, sockets and devices, as the listing tells
        ++counts_.special_files_skipped;
        return Kind::skip;
    }
    struct stat st;
    const Level& where = levels_[level];
    const int error = where.batch ? where.batch->result(index, st)
                      : ::fstatat(where.fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0 ? errno
                                                                                       : 0;
    if (error != 0)
        return stat_failed(error, name);
    return classify(st);
}

// A symbolic link is an entry of its own, whatever it points to (a file, a directory, nothing):
// it is reported as a file with the link's own facts and never followed, so the walk stays
// inside the source tree, reaches nothing twice and cannot run into a link loop.
DirWalker::Kind DirWalker::classify(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) {
        take_facts(st, true);
        return Kind::directory;
    }
    if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
        take_facts(st, false);
        return Kind::file;
    }
    ++counts_.special_files_skipped;
    return Kind::skip;
}

DirWalker::Kind DirWalker::stat_failed(int error, const char* name) {
    if (error == ENOENT) {
        ++counts_.vanished_entries;
        return Kind::skip;
    }
    ++counts_.unreadable_entries;
    log(format("Cannot examine '%s': %s", escape_for_log(entry_display_path(name)),
               system_error_text(static_cast<uint32_t>(error))));
    return Kind::skip;
}

void DirWalker::take_facts(const struct stat& st, bool is_directory) {
    entry_.is_directory_ = is_directory;
    entry_.size_ = is_directory ? 0 : static_cast<uint64_t>(st.st_size);
    entry_.modified_time_ = static_cast<int64_t>(st.st_mtim.tv_sec);
    entry_.identity_ = identity_of(st);
}

void DirWalker::present(size_t level, size_t name_offset) {
    entry_.name_ = arena_name(name_offset);
    entry_.directory_path_ = std::string_view(path_).substr(0, levels_[level].path_length);
}

bool DirWalker::on_walk_path(const FileIdentity& identity) const {
    for (const Level& level : levels_) {
        if (level.identity == identity)
            return true;
    }
    return false;
}

std::string DirWalker::entry_display_path(const char* name) const {
    std::string path = path_;
    if (path.back() != '/')
        path += '/';
    return path + name;
}

void DirWalker::log(const std::string& line) const {
    if (callbacks_.log)
        callbacks_.log(line);
}

std::optional<FileIdentity> directory_identity(const std::string& path) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return identity_of(st);
}

WalkCounts VisitFiles(const std::vector<std::string>& start_components,
                      const WalkCallbacks& callbacks, bool skip_dot_entries) {
    return DirWalker(callbacks, skip_dot_entries).walk(start_components);
}

} // namespace vesk
