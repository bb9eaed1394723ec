// Loads the user's CSV files into a bundle: rows of the client's tables into its SQLite
// database, exchange trading days into the bundle's calendar file, minute bars and quote
// snapshots into one HDF5 file per instrument (each instrument named gets its whole file
// replaced). All files of one call form one transaction: the first bad cell stops the import and
// nothing of it is kept. Rows that are given again replace the stored ones, so importing the
// same files twice changes nothing.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "import_error.hpp"

namespace korvex_import {

struct ImportedFile {
    std::filesystem::path path;
    std::string table;
    std::size_t rows = 0;
};

// `table` names the table of every file; when empty each file's name (without extension)
// names it. Creates <bundle>/tavlen.sqlite when missing. Throws ImportError.
std::vector<ImportedFile> import_csv_files(const std::filesystem::path& bundle,
                                           const std::vector<std::filesystem::path>& files,
                                           const std::string& table = {});

}  // namespace korvex_import
