# The soak's Python side. Python threads call the host module soakhost
# (functions, a class's initialiser and method), check every answer, and
# write numbered lines, each source on one path only: print (P), sys.stderr
# (S), os.write to descriptor 1 (D), child processes writing to descriptor 1
# (X) and 2 (Y). Host threads call mul() and line(); the home thread fill().
#
# State lives in sys, so that a copy imported again after Reset finds the
# threads and counts the first one started.
import os, random, subprocess, sys, threading, time

_state = sys.__dict__.setdefault('_soak_state', {})
threads = _state.setdefault('threads', [])
stop = _state.setdefault('stop', threading.Event())
written = _state.setdefault('written', {})   # source -> lines written
counts = _state.setdefault('counts', {'host': 0, 'wrong': 0})
faults = _state.setdefault('faults', [])     # what went wrong, for the report
doing = _state.setdefault('doing', {})       # thread -> step now

_lock = threading.Lock()


def _fault(text):
    with _lock:
        counts['wrong'] += 1
        if len(faults) < 50:
            faults.append(text)


def _next(source):
    with _lock:
        n = written.get(source, 0)
        written[source] = n + 1
        return n


def _check(what, got, want):
    if got != want:
        _fault('%s answered %r, not %r' % (what, got, want))


def _host_step(host, rng, me):
    global counts
    k = rng.randrange(4)
    a, b = rng.randrange(-10**6, 10**6), rng.randrange(-10**6, 10**6)
    if k == 0:
        doing[me] = 'add(%d, %d)' % (a, b)
        _check('add(%d, %d)' % (a, b), host.add(a, b), a + b)
    elif k == 1:
        text = 'refused %d' % a
        doing[me] = 'fail(%r)' % text
        try:
            host.fail(text)
            _fault('fail(%r) raised nothing' % text)
        except ValueError as e:
            _check('fail(%r)' % text, str(e), text)
        except BaseException as e:
            _fault('fail(%r) raised %s: %s' % (text, type(e).__name__, e))
    elif k == 2:
        doing[me] = 'Acc(%d).plus(%d, %d)' % (abs(a), a, b)
        _check('Acc(%d).plus(%d, %d)' % (abs(a), a, b), host.Acc(abs(a)).plus(a, b), a + b)
    else:
        doing[me] = 'Acc(-1)'
        try:
            host.Acc(-1)
            _fault('Acc(-1) made an instance')
        except ValueError:
            pass
    with _lock:
        counts['host'] += 1


def _line_step(rng, me):
    k = rng.randrange(20)
    if k < 8:
        s = 'P%d' % me
        doing[me] = 'print ' + s
        print('%s %d\n' % (s, _next(s)), end='')
    elif k < 13:
        s = 'S%d' % me
        doing[me] = 'sys.stderr ' + s
        sys.stderr.write('%s %d\n' % (s, _next(s)))
    elif k < 18:
        s = 'D%d' % me
        doing[me] = 'os.write ' + s
        os.write(1, ('%s %d\n' % (s, _next(s))).encode())
    elif k == 18:
        s = 'X%d' % me
        doing[me] = 'os.system ' + s
        os.system('echo %s %d' % (s, _next(s)))
    else:
        s = 'Y%d' % me
        doing[me] = 'subprocess ' + s
        subprocess.call(['sh', '-c', 'echo %s %d >&2' % (s, _next(s))])


def _run(me, seed):
    import soakhost as host
    rng = random.Random(seed)
    while not stop.is_set():
        try:
            if rng.randrange(3):
                _host_step(host, rng, me)
            else:
                _line_step(rng, me)
        except BaseException as e:
            _fault('thread %d at %s: %s: %s' % (me, doing.get(me), type(e).__name__, e))
        if rng.randrange(8) == 0:
            time.sleep(rng.random() * 0.003)
    doing[me] = 'ended'


def start(count, seed):
    stop.clear()
    for me in range(count):
        t = threading.Thread(target=_run, args=(me, seed * 1000 + me), daemon=True)
        t.start()
        threads.append(t)
    return len(threads)


def finish():
    # Called by the home thread in a loop: True once every thread has ended.
    # The short joins let the home thread serve the threads' host calls.
    stop.set()
    for t in list(threads):
        t.join(0.01)
        if t.is_alive():
            return False
        threads.remove(t)
    return True


def report():
    return '%d %d' % (counts['host'], counts['wrong'])


def take_faults():
    got = list(faults)
    del faults[:]
    return '\n'.join(got)


def written_text():
    return ' '.join('%s=%d' % kv for kv in sorted(written.items()))


def where():
    return ', '.join('thread %s: %s' % kv for kv in sorted(doing.items()))


# Host threads.
def mul(a, b):
    return a * b + 1


def line(source, n):
    print('%s %d\n' % (source, n), end='')
    return n


# The home thread: fills a host block through its view.
def fill(view, seed):
    n = len(view)
    for i in range(0, n, 997):
        view[i] = (seed + i) & 0xFF
    view[n - 1] = seed & 0xFF
    return n


def spin(ms):
    end = time.monotonic() + ms / 1000.0
    while time.monotonic() < end:
        pass
    return ms
