// What a piece of code failed with, for tables of expected refusals.
#pragma once

#include <functional>
#include <string>

#include "io/failure.h"

namespace smf_test {

struct Refusal {
  std::string message;
  int status = 0;
};

inline Refusal refusal(const std::function<void()>& run) {
  try {
    run();
  } catch (const retune::io::Failure& f) {
    return {f.message(), f.status()};
  }
  return {"(no failure)", 0};
}

}  // namespace smf_test
