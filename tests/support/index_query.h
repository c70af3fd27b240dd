#pragma once
// Test support: reads one value from an index file without going through the program's own
// access layer.

#include <sqlite3.h>

#include <filesystem>
#include <string>

namespace vesk::testing {

// The first column of the first row of `sql`, or "<error>".
inline std::string sql_value(const std::filesystem::path& db, const std::string& sql) {
    sqlite3* handle = nullptr;
    sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    std::string value = "<error>";
    if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* text = sqlite3_column_text(stmt, 0);
        value = text ? reinterpret_cast<const char*>(text) : "";
    }
    sqlite3_finalize(stmt);
    sqlite3_close(handle);
    return value;
}

} // namespace vesk::testing
