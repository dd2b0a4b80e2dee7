#include <stdlib.h>

#include "soak.h"

namespace coilsoak {

Lines gLines;

namespace {

Obj gReceiver[2];

template <int R>
void Raised(Obj, Str text) {
  gLines.Text(R, host.bytes(text));
}

}  // namespace

void Lines::Text(int receiver, const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  std::string& partial = partial_[receiver];
  partial += text;
  size_t start = 0;
  for (size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1)
    Line(receiver, partial.substr(start, end - start));
  partial.erase(0, start);
}

void Lines::Line(int receiver, const std::string& line) {
  ++lines_;
  arrivals_.fetch_add(1);
  size_t space = line.find(' ');
  char* end = nullptr;
  long number = space == std::string::npos ? -1 : strtol(line.c_str() + space + 1, &end, 10);
  if (number < 0 || !end || *end || space == 0) {
    ++wrong_;
    Wrong("a line that no source wrote: \"%s\"", line.c_str());
    return;
  }
  std::string source = line.substr(0, space);
  int wanted = source[0] == 'S' || source[0] == 'Y' || source[0] == 'E' ? 1 : 0;
  if (receiver != wanted) {
    ++wrong_;
    Wrong("\"%s\" arrived at the %s receiver", line.c_str(), receiver ? "error" : "console");
  }
  long& next = next_[source];
  if (number < next) {
    ++wrong_;
    Wrong("\"%s\" arrived again or out of order (%ld expected)", line.c_str(), next);
    return;
  }
  lost_ += Missing(source, next, number);
  next = number + 1;
}

long Lines::Missing(const std::string& source, long from, long to) {
  long missing = 0;
  std::set<long>& maybe = maybe_[source];
  for (long n = from; n < to; ++n)
    if (!maybe.count(n)) ++missing;
  if (missing)
    fprintf(gOut, "soak: lost: %ld line(s) of %s between %ld and %ld\n", missing, source.c_str(), from,
            to - 1);
  return missing;
}

void Lines::Maybe(const std::string& source, long number) {
  std::lock_guard<std::mutex> guard(lock_);
  maybe_[source].insert(number);
}

void Lines::Settle(const std::map<std::string, long>& written) {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& w : written) {
    long& next = next_[w.first];
    if (next < w.second) lost_ += Missing(w.first, next, w.second);
    if (next > w.second) {
      ++wrong_;
      Wrong("%ld line(s) of %s arrived, %ld were written", next, w.first.c_str(), w.second);
    }
  }
  for (const auto& n : next_)
    if (!written.count(n.first)) {
      ++wrong_;
      Wrong("lines of %s arrived that no writer counted", n.first.c_str());
    }
  for (std::string& partial : partial_)
    if (!partial.empty()) {
      ++wrong_;
      Wrong("text without its line's end: \"%s\"", partial.c_str());
      partial.clear();
    }
  next_.clear();
  maybe_.clear();
}

void SetReceivers() {
  const char* const kSetters[2] = {"SetConsoleOutput(output as CoilworkConsoleOutput)",
                                   "SetErrorOutput(output as CoilworkConsoleOutput)"};
  void* const kHandlers[2] = {reinterpret_cast<void*>(&Raised<0>), reinterpret_cast<void*>(&Raised<1>)};
  for (int r = 0; r < 2; ++r) {
    gReceiver[r] = host.newInstance("CoilworkConsoleOutput");
    host.setEventHandler(gReceiver[r], "ConsoleOutput(output as String)", kHandlers[r]);
    host.callShared<void>("Coilwork", kSetters[r], gReceiver[r]);
  }
}

void ReleaseReceivers() {
  host.callShared<void>("Coilwork", "SetConsoleOutput(output as CoilworkConsoleOutput)", Obj(nullptr));
  host.callShared<void>("Coilwork", "SetErrorOutput(output as CoilworkConsoleOutput)", Obj(nullptr));
  for (Obj& r : gReceiver) {
    if (r) host.unlock(r);
    r = nullptr;
  }
}

}  // namespace coilsoak
