#include "csv_reader.hpp"

#include <fstream>
#include <sstream>

namespace korvex_import {

CsvReader::CsvReader(const std::filesystem::path& path) : file_(path.string()) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ImportError(file_, 0, "", "cannot open the file");
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text_ = buffer.str();
    if (text_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
    if (!read_record(header_))
        throw ImportError(file_, 0, "", "the file is empty: a header is required");
}

bool CsvReader::next(CsvRecord& record) {
    if (!read_record(record)) return false;
    if (record.cells.size() != header_.cells.size()) {
        throw ImportError(file_, record.line, "",
                          std::to_string(record.cells.size()) + " cells where the header has " +
                              std::to_string(header_.cells.size()));
    }
    return true;
}

bool CsvReader::read_record(CsvRecord& record) {
    // Blank lines carry no record.
    while (pos_ < text_.size() && (text_[pos_] == '\n' || text_[pos_] == '\r')) {
        if (text_[pos_] == '\n') ++line_;
        ++pos_;
    }
    if (pos_ >= text_.size()) return false;
    record.line = line_;
    record.cells.assign(1, std::string());
    bool quoted = false;
    bool was_quoted = false;
    while (pos_ < text_.size()) {
        const char c = text_[pos_++];
        std::string& cell = record.cells.back();
        if (quoted) {
            if (c == '"') {
                if (pos_ < text_.size() && text_[pos_] == '"') {
                    cell += '"';
                    ++pos_;
                } else {
                    quoted = false;
                }
            } else {
                if (c == '\n') ++line_;
                cell += c;
            }
        } else if (c == ',') {
            record.cells.emplace_back();
            was_quoted = false;
        } else if (c == '\n') {
            ++line_;
            return true;
        } else if (c == '\r') {
            // part of CRLF
        } else if (c == '"' && cell.empty() && !was_quoted) {
            quoted = was_quoted = true;
        } else if (was_quoted) {
            throw ImportError(file_, line_, "", "text after the closing quote of a cell");
        } else if (c == '"') {
            throw ImportError(file_, line_, "", "a double quote inside an unquoted cell");
        } else {
            cell += c;
        }
    }
    if (quoted) throw ImportError(file_, record.line, "", "a quoted cell is not closed");
    return true;
}

}  // namespace korvex_import
