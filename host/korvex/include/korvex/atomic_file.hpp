// Files written whole or not at all: the content goes into a temporary file beside the target,
// is flushed to disk, then renamed over it. An interrupted or failed write leaves the earlier
// file as it was and no temporary behind.
#pragma once

#include <filesystem>
#include <functional>
#include <ostream>
#include <string_view>

namespace korvex {

// RuntimeError "cannot write <what> <path>: <the system's reason>" when any step fails.
void write_file_atomically(const std::filesystem::path& path, std::string_view content,
                           std::string_view what = "file");
// The same, the content written by `write` as it goes: a large file is never whole in memory.
// What `write` throws passes through, and no temporary is left.
void write_file_atomically(const std::filesystem::path& path,
                           const std::function<void(std::ostream&)>& write,
                           std::string_view what = "file");

}  // namespace korvex
