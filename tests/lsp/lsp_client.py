"""A scripted client of tabula-lsp: Content-Length framed JSON-RPC over the
server's standard input and output, with a deadline on every wait so that a
hanging server fails the test instead of stalling it."""

import json
import os
import select
import subprocess
import time


class Client:
    def __init__(self, server, root=None, capabilities=None, initialize=True, stderr=None, options=None):
        # Standard error is the test's own unless asked for: a sanitizer's
        # report shows there.
        self.process = subprocess.Popen([server], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr)
        self.buffer = bytearray()
        self.received = 0.0
        self.next_id = 1
        self.notifications = []
        self.responses = {}
        if initialize:
            params = {"processId": os.getpid(), "capabilities": capabilities or {}}
            if root:
                params["rootUri"] = uri(root)
            if options is not None:
                params["initializationOptions"] = options
            result = self.request("initialize", params)
            self.capabilities = result["result"]["capabilities"]
            self.notify("initialized", {})

    def send_raw(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def send(self, message):
        body = json.dumps(message).encode()
        self.send_raw(b"Content-Length: %d\r\n\r\n" % len(body) + body)

    def notify(self, method, params):
        self.send({"jsonrpc": "2.0", "method": method, "params": params})

    def request(self, method, params, timeout=10):
        request_id = self.next_id
        self.next_id += 1
        self.send({"jsonrpc": "2.0", "id": request_id, "method": method, "params": params})
        return self.wait_response(request_id, timeout)

    def read_message(self, deadline):
        while True:
            header_end = self.buffer.find(b"\r\n\r\n")
            if header_end >= 0:
                header = self.buffer[:header_end].decode()
                length = int(header.split("Content-Length:")[1].split("\r\n")[0])
                start = header_end + 4
                if len(self.buffer) >= start + length:
                    # When the last byte arrived, for timings that leave out the
                    # parsing here.
                    self.received = time.perf_counter()
                    body = bytes(self.buffer[start:start + length])
                    del self.buffer[:start + length]
                    return json.loads(body)
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("no message from the server in time")
            ready, _, _ = select.select([self.process.stdout], [], [], remaining)
            if ready:
                chunk = os.read(self.process.stdout.fileno(), 1 << 20)
                if not chunk:
                    raise EOFError("the server closed its output (exit status %s)" % self.process.wait())
                self.buffer += chunk

    def pump(self, deadline):
        message = self.read_message(deadline)
        if "id" in message and "method" not in message:
            self.responses[message["id"]] = message
        else:
            self.notifications.append(message)

    def wait_response(self, request_id, timeout=10):
        deadline = time.monotonic() + timeout
        while request_id not in self.responses:
            self.pump(deadline)
        return self.responses.pop(request_id)

    def wait_request(self, method, timeout=10):
        """The next request of the server to the client."""
        deadline = time.monotonic() + timeout
        while True:
            for index, message in enumerate(self.notifications):
                if message.get("method") == method and "id" in message:
                    return self.notifications.pop(index)
            self.pump(deadline)

    def respond(self, request_id, result):
        self.send({"jsonrpc": "2.0", "id": request_id, "result": result})

    def wait_diagnostics(self, path, timeout=10, predicate=lambda diagnostics: True):
        """The next diagnostics published for `path` that satisfy `predicate`."""
        deadline = time.monotonic() + timeout
        wanted = uri(path)
        while True:
            for index, message in enumerate(self.notifications):
                if message.get("method") == "textDocument/publishDiagnostics" and \
                        message["params"]["uri"] == wanted:
                    del self.notifications[index]
                    diagnostics = message["params"]["diagnostics"]
                    if predicate(diagnostics):
                        return diagnostics
                    break
            else:
                self.pump(deadline)

    def open(self, path, text=None, version=1):
        if text is None:
            with open(path, encoding="utf-8", errors="surrogateescape") as source:
                text = source.read()
        self.notify("textDocument/didOpen", {"textDocument": {"uri": uri(path), "languageId": "tabula",
                                                              "version": version, "text": text}})
        return text

    def change(self, path, text, version):
        self.notify("textDocument/didChange", {"textDocument": {"uri": uri(path), "version": version},
                                               "contentChanges": [{"text": text}]})

    def at(self, method, path, line, character, **extra):
        params = {"textDocument": {"uri": uri(path)}, "position": {"line": line, "character": character}}
        params.update(extra)
        return self.request(method, params)

    def close(self):
        try:
            self.request("shutdown", None)
            self.notify("exit", None)
            return self.process.wait(timeout=10)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()


def uri(path):
    from urllib.parse import quote
    return "file://" + quote(os.path.abspath(path), safe="/-._~")


def position_of(text, needle, occurrence=1, offset=0):
    """Line and UTF-16 character of the n-th `needle` in `text`, plus `offset`."""
    index = -1
    for _ in range(occurrence):
        index = text.index(needle, index + 1)
    index += offset
    line = text.count("\n", 0, index)
    line_start = text.rfind("\n", 0, index) + 1
    character = len(text[line_start:index].encode("utf-16-le")) // 2
    return line, character
