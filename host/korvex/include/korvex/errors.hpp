// Error kinds of the host. Every error raised by the host, the client or a mod derives from
// korvex::Error so a caller can catch them as one family; the message is the text users see.
#pragma once

#include <stdexcept>
#include <string>
#include <typeinfo>

namespace korvex {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TypeError : public Error {
public:
    using Error::Error;
};
class ValueError : public Error {
public:
    using Error::Error;
};
class KeyError : public Error {
public:
    using Error::Error;
};
class AttributeError : public Error {
public:
    using Error::Error;
};
class NotImplementedError : public Error {
public:
    NotImplementedError() : Error("") {}
    using Error::Error;
};
class RuntimeError : public Error {
public:
    using Error::Error;
};
// A module (shared library) that cannot be found or loaded.
class ImportError : public Error {
public:
    using Error::Error;
};

// The class name as written in the code, without namespaces or mangling: "RepoTrade".
std::string type_name(const std::type_info& info);

template <class T>
std::string type_name(const T& object) {
    return type_name(typeid(object));
}

}  // namespace korvex
