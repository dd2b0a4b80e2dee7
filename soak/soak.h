// What the files of the soak share: the checker of every line Python writes,
// the host module that Python's threads call, and what each thread of the
// soak is doing, for the watchdog.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "drivers/driver.h"

namespace coilsoak {

using emuhost::Host;
using emuhost::Obj;
using emuhost::Str;

extern Host& host;
// The process's standard output and error as they were at the start: the
// plugin reads descriptors 1 and 2 while the soak runs.
extern FILE* gOut;
extern FILE* gErr;

// --- lines.cpp: every line arrives once, in order per source, at the
// receiver of its descriptor. A line is "SOURCE NUMBER"; sources S (Python
// threads' sys.stderr), Y (child processes' descriptor 2) and E (the home
// thread's sys.stderr) go to the error receiver, every other source to the
// console receiver.
class Lines {
 public:
  // Text raised by a receiver (0 console, 1 error), on any thread.
  void Text(int receiver, const std::string& text);
  // A line of the source whose writer was stopped: it may never arrive.
  void Maybe(const std::string& source, long number);
  // The end of an interpreter's lines: each source's count of lines written,
  // compared with what arrived. Sources start again from 0 afterwards.
  void Settle(const std::map<std::string, long>& written);
  long lines() const { return lines_; }
  long lost() const { return lost_; }
  long wrong() const { return wrong_; }
  long arrivedSince() const { return arrivals_.load(); }

 private:
  void Line(int receiver, const std::string& line);
  long Missing(const std::string& source, long from, long to);
  std::mutex lock_;
  std::map<std::string, long> next_;
  std::map<std::string, std::set<long>> maybe_;
  std::string partial_[2];
  long lines_ = 0, lost_ = 0, wrong_ = 0;
  std::atomic<long> arrivals_{0};
};
extern Lines gLines;
// Makes the two receivers and sets them as the console and error outputs.
void SetReceivers();
void ReleaseReceivers();

// --- host_module.cpp: soakhost, with add(a, b), fail(text) and the class
// Acc, whose initialiser refuses a negative number and whose method
// plus(a, b) answers a + b. Registered for the running interpreter.
void RegisterHostModule();
void ReleaseHostModule();

// --- idle_makers.cpp: for ms milliseconds, workers threads each make,
// activate, use, deactivate and close interpreters (own-lock where Python
// has them) over and over, while the calling home thread only idles: it
// calls DeliverOutput and ErrorOccurred every 2 ms and nothing else. It
// returns once every worker has ended.
struct IdleStretch {
  int workers;
  int64_t ms;
  uint64_t seed;
  std::atomic<long>* made;                           // counts every interpreter made
  std::atomic<long>* ownLockMade;                    // and those with a lock of their own
  std::function<int64_t()> now;                      // monotonic milliseconds
  std::function<bool(const std::string&)> stopped;   // a call answered nothing: true for a stop
  std::function<void(const std::string&)> wrong;     // a fault, counted and printed
  std::function<void()> progressed;                  // an interpreter was made (for the watchdog)
};
void IdleWhileWorkersMakeInterpreters(const IdleStretch& s);

// --- soak_main.cpp: faults the soak found, printed as they are found.
void Wrong(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace coilsoak
