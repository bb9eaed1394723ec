// korvex-import: loads CSV files (one per table) into a data bundle, all or nothing.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "importer.hpp"

int main(int argc, char** argv) {
    std::filesystem::path bundle;
    std::vector<std::filesystem::path> files;
    std::string table;
    bool quiet = false;

    CLI::App app{"Import CSV files into a data bundle (all files in one transaction)"};
    app.add_option("--bundle", bundle, "bundle directory; its tavlen.sqlite is created if missing")
        ->required();
    app.add_option("--table", table,
                   "table of every file; by default each file's name names it (valuation.csv)");
    app.add_option("files", files,
                   "CSV files; with none, only finishes an import that was stopped part-way")
        ->check(CLI::ExistingFile);
    app.add_flag("--quiet", quiet, "print nothing but errors");
    CLI11_PARSE(app, argc, argv);

    try {
        const auto imported = korvex_import::import_csv_files(bundle, files, table);
        if (!quiet) {
            for (const auto& f : imported) {
                fmt::print("{}: {} rows into {}\n", f.path.string(), f.rows, f.table);
            }
        }
    } catch (const korvex_import::ImportError& e) {
        fmt::print(stderr, "korvex-import: error: {}\nkorvex-import: {}\n", e.what(),
                   e.saved() ? "everything else was imported" : "nothing was imported");
        return 1;
    }
    return 0;
}
