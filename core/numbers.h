// Number parsing for command words, with the standard stoi/stod semantics
// (leading blanks skipped, trailing characters ignored). Every failure,
// including a value out of range for its type or a non-finite double, raises
// std::invalid_argument, which the dispatcher answers with "Invalid value".
#pragma once

#include <cstdint>
#include <string>

int ParseInt(const std::string& word);
int64_t ParseInt64(const std::string& word);
double ParseDouble(const std::string& word);
