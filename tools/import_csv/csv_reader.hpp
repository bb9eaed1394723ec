// Reads a CSV file as records of text cells (RFC 4180: commas, double quotes, "" inside quotes,
// LF or CRLF line ends, an optional UTF-8 byte order mark). The first record is the header.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "import_error.hpp"

namespace korvex_import {

struct CsvRecord {
    std::size_t line = 0;  // line on which the record starts, counting from 1
    std::vector<std::string> cells;
};

class CsvReader {
public:
    // ImportError naming the file when it cannot be read, is empty or has no header.
    explicit CsvReader(const std::filesystem::path& path);

    const std::string& file() const { return file_; }
    const CsvRecord& header() const { return header_; }
    // The next non-blank record; false at the end. ImportError for an unterminated quote or a
    // record whose cell count differs from the header's.
    bool next(CsvRecord& record);

private:
    bool read_record(CsvRecord& record);

    std::string file_;
    std::string text_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
    CsvRecord header_;
};

}  // namespace korvex_import
