// The bond broker: the host's simulation broker, matching immediately in tick runs. The mod
// registers its bond and repo matchers only on a broker of this type.
#pragma once

#include "korvex/simulation_broker.hpp"

namespace korvex_mod_bond {

class BondBroker : public korvex::SimulationBroker {
public:
    BondBroker(korvex::Environment& env, const korvex::ConfigNode& mod_config);
};

}  // namespace korvex_mod_bond
