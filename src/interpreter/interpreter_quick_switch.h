// The home thread's own switch for one outermost member into a
// sub-interpreter that shares the main lock (interpreter_quick_switch.cpp).
#pragma once

#include <stdint.h>

#include "interpreter/interpreters.h"

// For one outermost member of the home thread between its calls: enters the
// sub-interpreter of generation g where it shares the main lock, by
// swapping thread states, until the member returns. taken() false: not
// entered (any other case), the member takes the general way.
class QuickSwitch {
 public:
  explicit QuickSwitch(uint32_t g);
  ~QuickSwitch();
  bool taken() const { return sub_ != nullptr; }
  QuickSwitch(const QuickSwitch&) = delete;
  QuickSwitch& operator=(const QuickSwitch&) = delete;

 private:
  SubInterpreter* sub_ = nullptr;
  PyThreadState* state_ = nullptr;
  PyThreadState* saved_ = nullptr;
};
