#include "korvex_mod_bond/quaylet.hpp"

#include "korvex/environment.hpp"

namespace korvex_mod_bond {

BondBroker::BondBroker(korvex::Environment& env, const korvex::ConfigNode& mod_config)
    : korvex::SimulationBroker(env, mod_config) {
    if (env.config().at("base.frequency").as_string() == "tick") _match_immediately = true;
}

}  // namespace korvex_mod_bond
