// Base of every exception the program throws: each unit derives one class carrying its fixed
// message texts, and the pipeline catches this base per file.
#pragma once
#include <stdexcept>
#include <string>

namespace vexo {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace vexo
