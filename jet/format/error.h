#pragma once
// The one error type of the engine. Its message is the description a person
// reads: what failed, which file, which page, and where possible what to do.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace jet {

enum class ErrorKind {
    io,                   // the operating system refused a read, write, rename ...
    not_a_database,       // not a Jet/ACE file at all
    truncated,            // size not a whole number of pages, or shorter than its structures
    jet3,                 // Access 97 (Jet 3) file: not supported
    ace,                  // ACE (.accdb, Access 2007+) file: not supported
    encrypted_ace,        // ACE file with Office encryption: not supported
    bad_password,         // "Not a valid password."
    damaged,              // a structure does not decode; the description names the page
    destination_exists,   // the compactor never overwrites a file
    verification_failed,  // the compacted copy differs from the source
    invalid_argument,     // a caller's mistake (bad option, bad table name ...)
    in_use,               // another program has the database open (holds a lock on it)
    too_large,            // the result would exceed what the format can hold (2 GB)
};

class Error : public std::runtime_error {
  public:
    Error(ErrorKind kind, const std::string& description)
        : std::runtime_error(description), kind_(kind) {}
    ErrorKind kind() const { return kind_; }

  private:
    ErrorKind kind_;
};

// Jet's own text for a wrong or missing database password.
inline constexpr const char* kNotAValidPassword = "Not a valid password.";

}  // namespace jet
