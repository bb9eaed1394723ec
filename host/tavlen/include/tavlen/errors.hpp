// Errors of the market-data client.
#pragma once

#include "korvex/errors.hpp"

namespace tavlen {

// Access to the data was refused (file permissions, licence).
class PermissionDenied : public korvex::Error {
public:
    using korvex::Error::Error;
};

// The data store is missing or malformed.
class DataError : public korvex::Error {
public:
    using korvex::Error::Error;
};

}  // namespace tavlen
