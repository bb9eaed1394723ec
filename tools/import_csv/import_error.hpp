// The one error of the importer: what was wrong and where (file, line, column).
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace korvex_import {

class ImportError : public std::runtime_error {
public:
    // `line` 0 means the file as a whole; an empty `column` means the record as a whole.
    ImportError(std::string file, std::size_t line, std::string column, std::string problem);

    const std::string& file() const { return file_; }
    std::size_t line() const { return line_; }
    const std::string& column() const { return column_; }
    const std::string& problem() const { return problem_; }
    // True when the import took effect except for what the error names (a file that could not
    // be moved into place after the database was saved).
    bool saved() const { return saved_; }
    ImportError& set_saved() {
        saved_ = true;
        return *this;
    }

private:
    std::string file_;
    std::size_t line_;
    std::string column_;
    std::string problem_;
    bool saved_ = false;
};

}  // namespace korvex_import
