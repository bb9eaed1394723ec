#include "import_error.hpp"

#include <utility>

namespace korvex_import {

namespace {

std::string where(const std::string& file, std::size_t line, const std::string& column) {
    std::string text = file;
    if (line > 0) text += ":" + std::to_string(line);
    if (!column.empty()) text += ": column '" + column + "'";
    return text;
}

}  // namespace

ImportError::ImportError(std::string file, std::size_t line, std::string column,
                         std::string problem)
    : std::runtime_error(where(file, line, column) + ": " + problem),
      file_(std::move(file)),
      line_(line),
      column_(std::move(column)),
      problem_(std::move(problem)) {}

}  // namespace korvex_import
