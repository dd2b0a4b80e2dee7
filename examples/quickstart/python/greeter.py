# A module the quickstart imports from its own folder.
print("greeter: imported by", __name__)

import hostmath  # published by the host program before Init


def greet(times, name):
    line = "Hello, %s!" % name
    for _ in range(times):
        print(line)
    return line * times


def describe(name, *, greeting="Hello", punctuation="!"):
    return "%s, %s%s" % (greeting, name, punctuation)


def countdown(n):
    while n > 0:
        yield n
        n -= 1


def average(values):
    return sum(values) / len(values)


def use_host():
    total = hostmath.add(40, 2)
    print("hostmath.add(40, 2) =", total)
    c = hostmath.Counter()
    c.bump(5)
    c.bump(7)
    print("Counter after two bumps:", c.value())
    return total
