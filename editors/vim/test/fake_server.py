"""A stand-in language server for the test of lua/tabula/lsp.lua: it answers
initialize and shutdown, logs every method it receives (one line each, to the
file named by its argument), and for each opened document publishes one
diagnostic that names the document and the workspace it was started for."""
import json
import sys

log = open(sys.argv[1], "a", buffering=1)
stdin, stdout = sys.stdin.buffer, sys.stdout.buffer
root = None


def send(message):
    body = json.dumps(message).encode()
    stdout.write(b"Content-Length: %d\r\n\r\n" % len(body) + body)
    stdout.flush()


def read():
    length = None
    while True:
        line = stdin.readline()
        if not line:
            return None
        if line in (b"\r\n", b"\n"):
            break
        name, _, value = line.decode().partition(":")
        if name.lower() == "content-length":
            length = int(value)
    return json.loads(stdin.read(length))


while True:
    message = read()
    if message is None:
        break
    method = message.get("method")
    log.write(f"{method}\n")
    if method == "initialize":
        root = message["params"].get("rootUri")
        send({"jsonrpc": "2.0", "id": message["id"],
              "result": {"capabilities": {"textDocumentSync": 1}}})
    elif method == "shutdown":
        send({"jsonrpc": "2.0", "id": message["id"], "result": None})
    elif method == "exit":
        break
    elif method == "textDocument/didOpen":
        uri = message["params"]["textDocument"]["uri"]
        send({"jsonrpc": "2.0", "method": "textDocument/publishDiagnostics",
              "params": {"uri": uri, "diagnostics": [{
                  "range": {"start": {"line": 1, "character": 0}, "end": {"line": 1, "character": 4}},
                  "severity": 1, "source": "tabula", "message": f"opened in {root}"}]}})
    elif "id" in message:
        send({"jsonrpc": "2.0", "id": message["id"],
              "error": {"code": -32601, "message": f"no {method}"}})
