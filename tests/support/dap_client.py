"""A Debug Adapter Protocol client, as an editor is one, for the debugger tests.

    dap_client.py PORT README REMOTE_DIR FILE LINE EXPRESSION WORKSPACE

It takes the "Python: Remote Attach" configuration of README's launch.json,
with ${workspaceFolder} read as WORKSPACE and each mapping's remoteRoot as
REMOTE_DIR, where the application's FILE lies; copies FILE to the local root,
as a developer's checkout holds it, and prints "local", tab, its path. It
attaches to the port with that configuration as its arguments, as the editor
does, sets a breakpoint at LINE of the local copy, prints "breakpoint", tab,
whether it was verified, and ends its configuration. Then, at each stop, it
prints a line of "stop", the stopped thread's name, the top frame's file and
line, and EXPRESSION evaluated in that frame, separated by tabs; and
continues. It ends, detaching, when its standard input closes, or after two
minutes.
"""
import json
import os
import re
import select
import shutil
import socket
import sys
import time

LIMIT = time.monotonic() + 120


class Session:
    def __init__(self, host, port):
        deadline = time.monotonic() + 10
        while True:
            try:
                self.sock = socket.create_connection((host, port), timeout=5)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.sock.settimeout(None)
        self.buffer = b""
        self.seq = 0
        self.events = []

    def send(self, command, **arguments):
        self.seq += 1
        body = json.dumps({"seq": self.seq, "type": "request", "command": command,
                           "arguments": arguments}).encode()
        self.sock.sendall(b"Content-Length: %d\r\n\r\n" % len(body) + body)
        return self.seq

    def read(self, timeout):
        """One message, or None when none came in time."""
        deadline = time.monotonic() + timeout
        while True:
            head, sep, rest = self.buffer.partition(b"\r\n\r\n")
            if sep:
                length = int(head.split(b":")[1])
                if len(rest) >= length:
                    self.buffer = rest[length:]
                    return json.loads(rest[:length])
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                return None
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("the adapter closed the connection")
            self.buffer += data

    def answer(self, seq, timeout=10):
        """The response to request seq; events that come first are kept."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            m = self.read(deadline - time.monotonic())
            if m is None:
                break
            if m["type"] == "response" and m["request_seq"] == seq:
                if not m["success"]:
                    raise RuntimeError("%s failed: %s" % (m["command"], m.get("message")))
                return m.get("body", {})
            if m["type"] == "event":
                self.events.append(m)
        raise TimeoutError("no response to request %d" % seq)

    def event(self, name, timeout):
        for i, m in enumerate(self.events):
            if m["event"] == name:
                return self.events.pop(i)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            m = self.read(min(deadline - time.monotonic(), 0.1))
            if m is not None and m["type"] == "event":
                if m["event"] == name:
                    return m
                self.events.append(m)
            if m is None and not stdin_open():
                return None
        return None


def stdin_open():
    ready = select.select([sys.stdin], [], [], 0)[0]
    return not ready or sys.stdin.buffer.read1(4096) != b""


def say(*fields):
    print("\t".join(str(f) for f in fields), flush=True)


def launch_configuration(readme, workspace, remote):
    """The README's remote attach configuration, as the editor would send it."""
    with open(readme) as f:
        blocks = re.findall(r"```json\n(.*?)```", f.read(), re.S)
    for block in blocks:
        for config in json.loads(block).get("configurations", []):
            if config.get("name") == "Python: Remote Attach":
                text = json.dumps(config).replace("${workspaceFolder}", workspace)
                config = json.loads(text)
                for mapping in config["pathMappings"]:
                    mapping["remoteRoot"] = remote
                return config
    raise LookupError("no Python: Remote Attach configuration in " + readme)


def main():
    port, readme, remote, name, line, expression, workspace = sys.argv[1:8]
    line = int(line)
    config = launch_configuration(readme, workspace, remote)
    assert config["request"] == "attach", config
    local_root = config["pathMappings"][0]["localRoot"]
    os.makedirs(local_root, exist_ok=True)
    local_file = os.path.join(local_root, name)
    shutil.copy(os.path.join(remote, name), local_file)
    say("local", local_file)

    s = Session(config["connect"]["host"], int(port))
    s.answer(s.send("initialize", clientID="coilwork-tests", adapterID=config["type"],
                    pathFormat="path", linesStartAt1=True, columnsStartAt1=True))
    # The attach response comes only after configurationDone.
    attach = s.send("attach", **config)
    if s.event("initialized", 10) is None:
        raise TimeoutError("no initialized event")
    body = s.answer(s.send("setBreakpoints", source={"path": local_file},
                           breakpoints=[{"line": line}]))
    say("breakpoint", body["breakpoints"][0].get("verified", False))
    s.answer(s.send("setExceptionBreakpoints", filters=[]))
    s.answer(s.send("configurationDone"))
    s.answer(attach)

    while time.monotonic() < LIMIT:
        stopped = s.event("stopped", LIMIT - time.monotonic())
        if stopped is None:
            break
        thread = stopped["body"]["threadId"]
        names = {t["id"]: t["name"] for t in s.answer(s.send("threads"))["threads"]}
        frame = s.answer(s.send("stackTrace", threadId=thread, startFrame=0, levels=1))["stackFrames"][0]
        value = s.answer(s.send("evaluate", expression=expression, frameId=frame["id"],
                                context="watch"))["result"]
        say("stop", names.get(thread, ""), frame["source"]["path"], frame["line"], value)
        s.answer(s.send("continue", threadId=thread))
    try:
        s.answer(s.send("disconnect", terminateDebuggee=False), timeout=5)
    except (OSError, EOFError, TimeoutError):
        pass


if __name__ == "__main__":
    main()
