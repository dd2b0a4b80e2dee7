// Coilwork.CaptureProcessOutput: what anything in the process writes to
// descriptors 1 and 2 (C extensions' printf, os.write, child processes that
// inherit the descriptors, faulthandler, the host itself) reaches the host's
// console receivers.
//
// Each descriptor is pointed at a pipe of its own. A reader thread of the
// plugin's keeps the pipes drained, so that writers never wait for the host;
// the text is queued for the home thread as UTF-8 (invalid bytes become the
// replacement character, a character cut by a read waits for its rest), and
// the receiver is chosen as it is raised. Text waiting for the host is
// bounded: past the limit it is dropped and counted, and the next delivery of
// that descriptor says how much in a line of its own.
//
// Python's own print goes through the console streams, not descriptor 1; a
// print after os.system must still arrive after the child's output, so every
// piece Python writes on the home thread first takes in what the pipes hold.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>

#include "interpreter/interpreter.h"
#include "plugin/output_queue.h"

namespace {

constexpr size_t kWaitingLimit = size_t(8) << 20;

struct Capture {
  std::mutex lock;  // reading and queueing, so that chunks stay in order
  bool on = false;
  int saved[2] = {-1, -1};  // the original descriptors 1 and 2
  int pipes[2] = {-1, -1};  // read ends of the pipes now behind 1 and 2
  int stop[2] = {-1, -1};   // wakes the reader to end
  std::thread reader;
  std::string partial[2];   // the start of a character cut by a read
  uint64_t dropped[2] = {0, 0};
};

// Process-lived: the reader may still run while the process exits.
Capture& State() {
  static auto* capture = new Capture();
  return *capture;
}

// How many bytes of the UTF-8 sequence that starts with this byte.
int SequenceLength(unsigned char c) {
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return 2;
  if (c >= 0xE0 && c <= 0xEF) return 3;
  if (c >= 0xF0 && c <= 0xF4) return 4;
  return 0;
}

bool Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Whether bytes[0..n) is a well-formed sequence (no overlong form, no
// surrogate, nothing past U+10FFFF).
bool WellFormed(const unsigned char* b, int n) {
  for (int i = 1; i < n; ++i)
    if (!Continuation(b[i])) return false;
  if (n == 3 && b[0] == 0xE0 && b[1] < 0xA0) return false;
  if (n == 3 && b[0] == 0xED && b[1] > 0x9F) return false;
  if (n == 4 && b[0] == 0xF0 && b[1] < 0x90) return false;
  if (n == 4 && b[0] == 0xF4 && b[1] > 0x8F) return false;
  return true;
}

// Appends the valid text of in to out, each invalid byte as U+FFFD. When
// final is false, an incomplete sequence at the end is left in rest.
void Sanitize(const std::string& in, std::string* out, std::string* rest, bool final) {
  static const char kReplacement[] = "\xEF\xBF\xBD";
  const unsigned char* b = reinterpret_cast<const unsigned char*>(in.data());
  size_t n = in.size(), i = 0;
  rest->clear();
  while (i < n) {
    int length = SequenceLength(b[i]);
    if (length == 1) {
      out->push_back(char(b[i++]));
      continue;
    }
    if (length > 1 && i + size_t(length) > n && !final) {
      // Cut by the read: kept for the next one, if what is there fits.
      bool fits = true;
      for (size_t k = i + 1; k < n; ++k) fits = fits && Continuation(b[k]);
      if (fits) {
        rest->assign(in, i, n - i);
        return;
      }
    }
    if (length > 1 && i + size_t(length) <= n && WellFormed(b + i, length)) {
      out->append(in, i, size_t(length));
      i += size_t(length);
    } else {
      out->append(kReplacement);
      ++i;
    }
  }
}

// Under the capture's lock: queues what was read from descriptor index s
// (0 for 1, 1 for 2).
void Take(Capture& c, int s, const char* bytes, size_t n, bool final) {
  if (n == 0 && !final && c.dropped[s] == 0) return;
  // Once text is dropped, it goes on being dropped until the host has taken
  // everything that waited, so that one line tells of one gap.
  if (StreamTextWaiting() + n > kWaitingLimit || (c.dropped[s] && StreamTextWaiting() > 0)) {
    c.dropped[s] += n;
    c.partial[s].clear();
    return;
  }
  if (c.dropped[s]) {
    QueueStreamText(s + 1,
                    "[" + std::to_string(c.dropped[s]) +
                        " bytes of process output dropped: more than 8 MiB waited for the host]\n",
                    OnConsoleOutput);
    c.dropped[s] = 0;
  }
  std::string text;
  std::string in = c.partial[s];
  in.append(bytes, n);
  Sanitize(in, &text, &c.partial[s], final);
  if (!text.empty()) QueueStreamText(s + 1, std::move(text), OnConsoleOutput);
}

// Under the capture's lock: reads what the pipe holds now; false at its end.
bool Drain(Capture& c, int s) {
  char buffer[65536];
  for (;;) {
    ssize_t n = read(c.pipes[s], buffer, sizeof buffer);
    if (n > 0) {
      Take(c, s, buffer, size_t(n), false);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // Dropped text is reported once the host has taken what waited, also
    // while the writer is quiet.
    if (n < 0 && c.dropped[s] && StreamTextWaiting() == 0) Take(c, s, nullptr, 0, false);
    return n != 0;
  }
}

void ReadUntilStopped(Capture* c) {
  pollfd fds[3] = {{c->pipes[0], POLLIN, 0}, {c->pipes[1], POLLIN, 0}, {c->stop[0], POLLIN, 0}};
  for (;;) {
    int ready = poll(fds, 3, 100);
    if (ready < 0 && errno != EINTR) return;
    if (fds[2].revents) return;
    std::lock_guard<std::mutex> guard(c->lock);
    for (int s = 0; s < 2; ++s)
      if (fds[s].fd >= 0 && (fds[s].revents || c->dropped[s]) && !Drain(*c, s)) fds[s].fd = -1;
  }
}

void CloseBoth(int fds[2]) {
  for (int i = 0; i < 2; ++i) {
    if (fds[i] >= 0) close(fds[i]);
    fds[i] = -1;
  }
}

// Points descriptors 1 and 2 at pipes and starts the reader; false, with
// everything as it was, when any step fails.
bool Start(Capture& c) {
  fflush(stdout);
  fflush(stderr);
  if (pipe2(c.stop, O_CLOEXEC) != 0) return false;
  int writers[2] = {-1, -1};
  bool ok = true;
  for (int s = 0; s < 2 && ok; ++s) {
    int p[2];
    c.saved[s] = fcntl(s + 1, F_DUPFD_CLOEXEC, 3);
    ok = c.saved[s] >= 0 && pipe2(p, O_CLOEXEC) == 0;
    if (ok) {
      c.pipes[s] = p[0];
      writers[s] = p[1];
      fcntl(p[0], F_SETFL, fcntl(p[0], F_GETFL) | O_NONBLOCK);
    }
  }
  // The descriptors change only once everything is ready; dup2 leaves the
  // new 1 and 2 inheritable, so child processes write into the pipes too.
  if (ok) ok = dup2(writers[0], 1) == 1 && dup2(writers[1], 2) == 2;
  CloseBoth(writers);
  if (ok) {
    try {
      c.reader = std::thread(ReadUntilStopped, &c);
    } catch (...) {
      ok = false;
    }
  }
  if (!ok) {
    for (int s = 0; s < 2; ++s)
      if (c.saved[s] >= 0) dup2(c.saved[s], s + 1);
    CloseBoth(c.saved);
    CloseBoth(c.pipes);
    CloseBoth(c.stop);
  }
  return ok;
}

// Reads what is left, puts the original descriptors back and ends the reader.
void Stop(Capture& c) {
  fflush(stdout);
  fflush(stderr);
  char one = 1;
  while (write(c.stop[1], &one, 1) < 0 && errno == EINTR) {
  }
  c.reader.join();
  {
    std::lock_guard<std::mutex> guard(c.lock);
    for (int s = 0; s < 2; ++s) {
      if (c.pipes[s] >= 0) Drain(c, s);
      Take(c, s, nullptr, 0, true);
      dup2(c.saved[s], s + 1);
    }
  }
  CloseBoth(c.saved);
  CloseBoth(c.pipes);
  CloseBoth(c.stop);
}

}  // namespace

// What TakeProcessOutput calls while output is captured (plugin/output_queue.h).
void FlushProcessOutput() {
  Capture& c = State();
  if (!__atomic_load_n(&c.on, __ATOMIC_ACQUIRE)) return;
  fflush(stdout);
  fflush(stderr);
  std::lock_guard<std::mutex> guard(c.lock);
  if (!c.on) return;
  for (int s = 0; s < 2; ++s)
    if (c.pipes[s] >= 0) Drain(c, s);
}

void Python_CaptureProcessOutput(int8_t capture) {
  Capture& c = State();
  // Before any Init, the thread that asks is where the text is raised.
  HostThreadState* none = nullptr;
  __atomic_compare_exchange_n(&gHomeThread, &none, &tHostThread, false, __ATOMIC_RELAXED,
                              __ATOMIC_RELAXED);
  if (capture && !c.on) {
    if (Start(c)) {
      __atomic_store_n(&c.on, true, __ATOMIC_RELEASE);
      gTakeProcessOutput.store(&FlushProcessOutput, std::memory_order_release);
    }
    // Returns take the slow way from now on, which reads the pipes first.
    WatchNothing();
  } else if (!capture && c.on) {
    gTakeProcessOutput.store(nullptr, std::memory_order_release);
    __atomic_store_n(&c.on, false, __ATOMIC_RELEASE);
    Stop(c);
    WatchNothing();
    if (gHostWorkPending.load(std::memory_order_acquire)) DeliverQueuedWork();
  }
}
