// The instrument records of the sample bundle, field by field, in the order the client answers.
#pragma once

#include <vector>

#include "bundle_database.hpp"
#include "universe.hpp"

namespace korvex_generate {

std::vector<FieldValue> bond_record(const BondSpec& bond);
std::vector<FieldValue> repo_record(const RepoSpec& repo);

}  // namespace korvex_generate
