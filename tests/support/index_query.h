#pragma once
// Test support: reads values from an index file without going through the program's own access
// layer.

#include <sqlite3.h>

#include <filesystem>
#include <string>

namespace vesk::testing {

// Every row of `sql`, its columns joined by '|', one row a line; "<error>" when it fails.
inline std::string sql_rows(const std::filesystem::path& db, const std::string& sql) {
    sqlite3* handle = nullptr;
    sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    std::string rows = "<error>";
    if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
        rows.clear();
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            for (int column = 0; column < sqlite3_column_count(stmt); ++column) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
                rows += (column ? "|" : "") + std::string(text ? text : "");
            }
            rows += "\n";
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(handle);
    return rows;
}

} // namespace vesk::testing
