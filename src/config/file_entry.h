#pragma once
#include <cstdint>
#include <string_view>

namespace vesk {

// The facts about one file or directory that selection expressions test. Paths are relative to
// the source directory, components joined by "/", no leading or trailing "/". The returned views
// are valid only while the entry is being examined.
class IFileEntry {
public:
    virtual ~IFileEntry() = default;
    virtual std::string_view name() const = 0;
    virtual std::string_view path() const = 0;
    virtual std::string_view parent() const = 0;
    virtual bool is_directory() const = 0;
    // Seconds from the last modification to the implementation's reference time.
    virtual int64_t age() const = 0;
    virtual uint64_t size() const = 0;
};

} // namespace vesk
