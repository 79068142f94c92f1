#include "core/numbers.h"

#include <cmath>
#include <stdexcept>

int ParseInt(const std::string& word) {
  try {
    return std::stoi(word);
  } catch (const std::out_of_range&) {
    throw std::invalid_argument("out of range");
  }
}

int64_t ParseInt64(const std::string& word) {
  try {
    return std::stoll(word);
  } catch (const std::out_of_range&) {
    throw std::invalid_argument("out of range");
  }
}

double ParseDouble(const std::string& word) {
  double value;
  try {
    value = std::stod(word);
  } catch (const std::out_of_range&) {
    throw std::invalid_argument("out of range");
  }
  if (!std::isfinite(value)) throw std::invalid_argument("not finite");
  return value;
}
