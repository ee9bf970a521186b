"""Protocol-level tests of tabula-lsp with a scripted client: every
capability on small projects written into a scratch folder, and the hostile
inputs a server meets (malformed messages, unknown methods, files it never
saw or that vanish, include cycles, devices, deep nesting).

    python3 tests/lsp/protocol_test.py BUILD/lsp/tabula-lsp
"""

import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lsp_client  # noqa: E402
from lsp_client import position_of, uri  # noqa: E402

SERVER = None

TYPES = 'type id_t = "INTEGER";\ntype name_t = "VARCHAR(" . "64" . ")";\n'
MAIN = '''include "types.def";
function quoted($name) = "\\"" . $name . "\\"";
table groups {
    primary id_t id [incoming: users];
    name_t name;
} = "groups.init";
table users {
    primary id_t id;
    name_t *login;
    id_t group_id [outgoing: groups];
};
view user_names = "SELECT " . quoted("login") . " FROM users";
sequence user_seq = 10;
query user_by_id = "SELECT login{FIELD:name_t} FROM users WHERE id = {ESC:1} ORDER BY {RAW:2}";
plsql [id_t] users_of (id_t p_group) (name_t v_name;) = "BEGIN RETURN; END;";
'''
INIT = '"1", "admins"\n"2", "users"\n'


class ProjectCase(unittest.TestCase):
    """A scratch project (main.def includes types.def; groups.init) and a
    client whose workspace is that folder."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tabula-lsp-")
        self.write("types.def", TYPES)
        self.write("main.def", MAIN)
        self.write("groups.init", INIT)
        self.client = lsp_client.Client(SERVER, root=self.folder, capabilities=self.capabilities(),
                                        options=self.options())
        self.main = self.path("main.def")
        self.types = self.path("types.def")

    def capabilities(self):
        return {}

    def options(self):
        # The compiler's own errors only; LintTest turns the rules on.
        return {"lint": {"enabled": False}}

    def tearDown(self):
        try:
            self.assertEqual(self.client.close(), 0)
        finally:
            shutil.rmtree(self.folder)

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, text):
        with open(os.path.join(self.folder, name), "w") as out:
            out.write(text)

    def open_clean(self, name="main.def"):
        text = self.client.open(self.path(name))
        self.assertEqual(self.client.wait_diagnostics(self.path(name)), [])
        return text

    def at(self, method, path, text, needle, occurrence=1, offset=0, **extra):
        line, character = position_of(text, needle, occurrence, offset)
        response = self.client.at(method, path, line, character, **extra)
        self.assertNotIn("error", response)
        return response["result"]


class DiagnosticsTest(ProjectCase):
    def test_a_broken_type_name_shows_at_its_use_and_clears_once_fixed(self):
        self.open_clean()
        broken = MAIN.replace("name_t *login", "nmae_t *login")
        self.client.change(self.main, broken, 2)
        diagnostics = self.client.wait_diagnostics(self.main, predicate=bool)
        self.assertEqual(diagnostics[0]["message"], 'Unable to resolve SQL type "nmae_t"')
        line, character = position_of(broken, "nmae_t")
        self.assertEqual(diagnostics[0]["range"]["start"], {"line": line, "character": character})
        self.assertEqual(diagnostics[0]["range"]["end"], {"line": line, "character": character + 6})
        self.client.change(self.main, MAIN, 3)
        self.assertEqual(self.client.wait_diagnostics(self.main), [])

    def test_a_link_to_an_unknown_table_shows_at_the_name(self):
        self.open_clean()
        broken = MAIN.replace("outgoing: groups", "outgoing: grups")
        self.client.change(self.main, broken, 2)
        diagnostics = self.client.wait_diagnostics(self.main, predicate=bool)
        self.assertEqual(diagnostics[0]["message"], 'Link to unknown table "grups"')
        self.assertEqual(diagnostics[0]["range"]["start"]["line"], position_of(broken, "grups")[0])

    def test_run_time_and_syntax_errors_carry_tabulas_message_and_line(self):
        self.open_clean()
        self.client.change(self.main, MAIN + "sequence user_seq = 11;\n", 2)
        diagnostics = self.client.wait_diagnostics(self.main, predicate=bool)
        self.assertEqual(diagnostics[0]["message"], 'Redefinition of sequence "user_seq"')
        self.assertEqual(diagnostics[0]["range"]["start"]["line"], MAIN.count("\n"))
        self.client.change(self.main, MAIN + "table t {\n", 3)
        diagnostics = self.client.wait_diagnostics(self.main, predicate=bool)
        self.assertTrue(diagnostics[0]["message"].startswith("syntax error, unexpected $end"))

    def test_an_error_in_an_included_file_lands_there_from_an_unsaved_buffer(self):
        self.open_clean()
        self.client.open(self.types, 'type id_t = "INTEGER";\ntype name_t = $x;\n')
        diagnostics = self.client.wait_diagnostics(self.types, predicate=bool)
        self.assertEqual(diagnostics[0]["message"], 'Non-existent variable "x"')
        self.assertEqual(diagnostics[0]["range"]["start"]["line"], 1)
        self.client.change(self.types, TYPES, 2)
        self.assertEqual(self.client.wait_diagnostics(self.types), [])

    def test_an_included_file_is_compiled_from_the_file_that_includes_it(self):
        # Opened alone, types.def would compile; from main.def, the table
        # that uses a type it no longer declares fails.
        self.client.open(self.types, 'type id_t = "INTEGER";\n')
        diagnostics = self.client.wait_diagnostics(self.main, predicate=bool)
        self.assertEqual(diagnostics[0]["message"], 'Unable to resolve SQL type "name_t"')

    def test_an_error_in_an_initializer_file_shows_in_that_file(self):
        self.open_clean()
        initializer = self.path("groups.init")
        self.client.open(initializer, '"1", "admins"\n"2" "users"\n')
        self.client.change(self.main, MAIN + "\n", 2)
        diagnostics = self.client.wait_diagnostics(initializer, predicate=bool)
        self.assertTrue(diagnostics[0]["message"].startswith("syntax error"), diagnostics)

    def test_a_burst_of_edits_is_compiled_once_with_the_latest_text(self):
        self.open_clean()
        burst = b""
        for version in range(2, 202):
            body = lsp_client.json.dumps({"jsonrpc": "2.0", "method": "textDocument/didChange", "params": {
                "textDocument": {"uri": uri(self.main), "version": version},
                "contentChanges": [{"text": MAIN + "sequence s%d = 1;\n" % version}]}}).encode()
            burst += b"Content-Length: %d\r\n\r\n" % len(body) + body
        self.client.send_raw(burst + self.broken_message())
        diagnostics = self.client.wait_diagnostics(self.main, predicate=bool)
        self.assertEqual(diagnostics[0]["message"], 'Unable to resolve SQL type "last_t"')
        self.client.request("shutdown", None)  # drains what is left
        published = [m for m in self.client.notifications if m.get("method") == "textDocument/publishDiagnostics"]
        self.assertLessEqual(len(published), 3)
        self.client.request = lambda *args, **kwargs: {}

    def broken_message(self):
        body = lsp_client.json.dumps({"jsonrpc": "2.0", "method": "textDocument/didChange", "params": {
            "textDocument": {"uri": uri(self.main), "version": 999},
            "contentChanges": [{"text": MAIN + "table last { primary last_t id; };\n"}]}}).encode()
        return b"Content-Length: %d\r\n\r\n" % len(body) + body


class NavigationTest(ProjectCase):
    def definition(self, needle, occurrence=1, offset=0):
        result = self.at("textDocument/definition", self.main, MAIN, needle, occurrence, offset)
        return result[0] if isinstance(result, list) else result

    def test_go_to_definition_of_every_kind_of_name(self):
        self.open_clean()
        type_def = self.definition("name_t name")
        self.assertEqual(type_def["uri"], uri(self.types))
        self.assertEqual(type_def["range"]["start"], {"line": 1, "character": 5})
        table_def = self.definition("outgoing: groups", 1, 10)
        self.assertEqual(table_def["range"]["start"], {"line": 2, "character": 6})
        function_def = self.definition('quoted("login")')
        self.assertEqual(function_def["range"]["start"], {"line": 1, "character": 9})
        self.assertEqual(self.definition('"types.def"', 1, 2)["uri"], uri(self.types))
        self.assertEqual(self.definition('"groups.init"', 1, 2)["uri"], uri(self.path("groups.init")))
        query_type = self.definition("{FIELD:name_t}", 1, 8)
        self.assertEqual(query_type["uri"], uri(self.types))

    def test_hover_shows_sql_text_fields_parameters_and_pieces(self):
        self.open_clean()
        hover = lambda *args: self.at("textDocument/hover", self.main, MAIN, *args)["contents"]["value"]
        self.assertIn("VARCHAR(64)", hover("name_t name"))
        table = hover("outgoing: groups", 1, 10)
        self.assertIn("primary id INTEGER [incoming: users]", table)
        self.assertIn("name VARCHAR(64)", table)
        self.assertIn("2 initial rows", table)
        function = hover('quoted("login")')
        self.assertIn('function quoted($name) = "\\"" . $name . "\\"";', function)
        query = hover("user_by_id")
        for piece in ("text:  SELECT login FROM users WHERE id = ", "param: 1", "raw:   2", "field: VARCHAR(64)"):
            self.assertIn(piece, query)
        self.assertIn("SETOF INTEGER", hover("users_of"))

    def test_document_symbols_list_every_declaration_with_table_fields(self):
        self.open_clean()
        result = self.client.request("textDocument/documentSymbol", {"textDocument": {"uri": uri(self.main)}})
        symbols = {(s["name"], s["detail"]): s for s in result["result"]}
        self.assertEqual(set(symbols), {("quoted", "function"), ("groups", "table"), ("users", "table"),
                                        ("user_names", "view"), ("user_seq", "sequence"),
                                        ("user_by_id", "query"), ("users_of", "plsql")})
        self.assertEqual([f["name"] for f in symbols[("users", "table")]["children"]], ["id", "login", "group_id"])
        types = self.client.request("textDocument/documentSymbol", {"textDocument": {"uri": uri(self.types)}})
        self.assertEqual([s["name"] for s in types["result"]], ["id_t", "name_t"])

    def test_completion_offers_what_fits_the_place(self):
        text = MAIN + "table extra {\n    primary \n} ;\nview v = ;\ntable more { id_t x [incoming: ] ; };\n"
        self.client.open(self.main, text)
        labels = lambda needle, offset: {item["label"] for item in self.at(
            "textDocument/completion", self.main, text, needle, 1, offset)}
        self.assertEqual(labels("primary \n} ;", 8), {"id_t", "name_t"})
        self.assertEqual(labels("[incoming: ]", 11), {"groups", "users", "extra", "more"})
        self.assertIn("quoted", labels("view v = ;", 9))
        self.assertIn("table", labels("table extra", 0))

    def test_references_across_the_project(self):
        self.open_clean()
        result = self.at("textDocument/references", self.main, MAIN, "id_t", 1,
                         context={"includeDeclaration": True})
        places = sorted((r["uri"] == uri(self.types), r["range"]["start"]["line"]) for r in result)
        self.assertEqual(places, [(False, 3), (False, 7), (False, 9), (False, 14), (False, 14), (True, 0)])
        without = self.at("textDocument/references", self.main, MAIN, "id_t", 1,
                          context={"includeDeclaration": False})
        self.assertEqual(len(without), 5)


class PositionsTest(ProjectCase):
    TEXT = '/* é 𝄞 */ type t = "X"; table x { primary t id; };\n'

    def test_utf16_positions_count_surrogate_pairs(self):
        self.write("main.def", self.TEXT)
        self.client.open(self.main)
        line, character = position_of(self.TEXT, "t id")
        self.assertEqual(character, 43)  # é one unit, the clef two
        result = self.client.at("textDocument/definition", self.main, line, character)["result"]
        self.assertEqual(result[0]["range"]["start"], {"line": 0, "character": 16})

    def test_incremental_changes_apply_at_their_range(self):
        self.open_clean()
        line, character = position_of(MAIN, "name_t *login")
        self.client.notify("textDocument/didChange", {
            "textDocument": {"uri": uri(self.main), "version": 2},
            "contentChanges": [{"range": {"start": {"line": line, "character": character},
                                          "end": {"line": line, "character": character + 4}}, "text": "bad"}]})
        diagnostics = self.client.wait_diagnostics(self.main, predicate=bool)
        self.assertEqual(diagnostics[0]["message"], 'Unable to resolve SQL type "bad_t"')


class Utf8PositionsTest(ProjectCase):
    def capabilities(self):
        return {"general": {"positionEncodings": ["utf-8", "utf-16"]}}

    def test_utf8_is_taken_when_offered(self):
        self.assertEqual(self.client.capabilities["positionEncoding"], "utf-8")
        text = PositionsTest.TEXT
        self.write("main.def", text)
        self.client.open(self.main)
        offset = text.encode().index(b"t id")
        result = self.client.at("textDocument/definition", self.main, 0, offset)["result"]
        self.assertEqual(result[0]["range"]["start"]["character"], text.encode().index(b"t = "))


class HostileTest(ProjectCase):
    def assert_alive(self):
        # Runs of earlier states may still report; the open's own run ends clean.
        self.client.open(self.main)
        self.client.wait_diagnostics(self.main, predicate=lambda diagnostics: diagnostics == [])

    def test_malformed_messages_get_error_responses(self):
        for raw, code in ((b"Content-Length: 5\r\n\r\n{oops", -32700),
                          (b"Content-Type: x\r\n\r\n", -32700),
                          (b"Content-Length: 2\r\n\r\n[]", -32600),
                          (b"Content-Length: 7\r\n\r\n" + "\"é\"".encode() + b"   ", -32600)):
            self.client.send_raw(raw)
            deadline = time.monotonic() + 10
            while None not in self.client.responses:
                self.client.pump(deadline)
            self.assertEqual(self.client.responses.pop(None)["error"]["code"], code)
        deep = b"[" * 100000 + b"]" * 100000
        self.client.send_raw(b"Content-Length: %d\r\n\r\n" % len(deep) + deep)
        deadline = time.monotonic() + 10
        while None not in self.client.responses:
            self.client.pump(deadline)
        self.assertEqual(self.client.responses.pop(None)["error"]["code"], -32700)
        self.assert_alive()

    def test_unknown_methods_and_bad_parameters(self):
        self.assertEqual(self.client.request("no/such", {})["error"]["code"], -32601)
        self.client.notify("no/such/notification", {})
        for params in (None, [], {"textDocument": 5}, {"textDocument": {"uri": 7}, "position": "x"},
                       {"textDocument": {"uri": "file:///nowhere/never.def"}, "position": {"line": -3}}):
            for method in ("textDocument/hover", "textDocument/definition", "textDocument/completion",
                           "textDocument/documentSymbol", "textDocument/references"):
                self.assertNotIn("error", self.client.request(method, params), (method, params))
        self.client.notify("textDocument/didChange", {"textDocument": {"uri": uri(self.path("unseen.def"))},
                                                      "contentChanges": [{"text": "x"}]})
        self.client.notify("textDocument/didOpen", {"textDocument": {"uri": "untitled:1", "text": 3}})
        self.assert_alive()

    def test_a_request_before_initialize_is_refused(self):
        fresh = lsp_client.Client(SERVER, initialize=False)
        self.assertEqual(fresh.request("textDocument/hover", {})["error"]["code"], -32002)
        fresh.notify("exit", None)
        self.assertEqual(fresh.process.wait(timeout=10), 1)  # exit without shutdown

    def test_files_deleted_under_the_server(self):
        self.open_clean()
        os.remove(self.types)
        self.client.change(self.main, MAIN + "\n", 2)
        diagnostics = self.client.wait_diagnostics(self.main, predicate=bool)
        self.assertIn("Failed to open compiled file", diagnostics[0]["message"])
        os.remove(self.main)
        self.client.notify("textDocument/didClose", {"textDocument": {"uri": uri(self.main)}})
        self.client.notify("textDocument/didSave", {"textDocument": {"uri": uri(self.main)}})
        self.assertIsNone(self.client.at("textDocument/hover", self.main, 0, 0)["result"])
        self.write("main.def", MAIN)
        self.write("types.def", TYPES)
        self.assert_alive()

    def test_include_cycles_devices_and_deep_nesting_end_in_a_diagnostic(self):
        for text, message in (('include "main.def";\n', "Include cycle"),
                              ('include "/dev/zero";\n', "Failed to open compiled file \"/dev/zero\""),
                              ('include "/tmp";\n', "Failed to open compiled file \"/tmp\""),
                              ("view v = " + "f(" * 50000 + ";", "parser stack overflow"),
                              ("function f($x) = f($x);\nview v = f(\"a\");\n", "")):
            with self.subTest(text=text[:30]):
                self.client.open(self.main, text)
                diagnostics = self.client.wait_diagnostics(self.main, predicate=bool, timeout=30)
                self.assertIn(message, diagnostics[0]["message"])
                self.client.notify("textDocument/didClose", {"textDocument": {"uri": uri(self.main)}})
        self.client.wait_diagnostics(self.main)  # the file on disk again
        self.assert_alive()

    def test_oversized_messages_are_skipped(self):
        self.client.send_raw(b"Content-Length: 999999999999\r\n\r\n")
        deadline = time.monotonic() + 10
        while None not in self.client.responses:
            self.client.pump(deadline)
        self.assertEqual(self.client.responses.pop(None)["error"]["code"], -32700)
        # The rest of the stream is that message's body: nothing more to say.
        self.client.process.stdin.close()
        self.assertEqual(self.client.process.wait(timeout=10), 1)
        self.client.close = lambda: 0


class StreamTest(ProjectCase):
    """Framing faults the server recovers from, and the one it cannot."""

    def framed(self, message, extra=0):
        body = lsp_client.json.dumps(message).encode()
        return b"Content-Length: %d\r\n\r\n" % (len(body) + extra) + body

    def test_a_header_without_length_and_a_length_too_long_leave_the_server_answering(self):
        self.open_clean()
        hover = {"jsonrpc": "2.0", "method": "textDocument/hover",
                 "params": {"textDocument": {"uri": uri(self.main)}, "position": {"line": 4, "character": 6}}}
        body = lsp_client.json.dumps(dict(hover, id=50)).encode()
        self.client.send_raw(b"Content-Type: x\r\n\r\n" + body + self.framed(dict(hover, id=51)))
        self.assertIn("name_t", self.client.wait_response(51)["result"]["contents"]["value"])
        self.client.send_raw(self.framed(dict(hover, id=60), extra=25) + self.framed(dict(hover, id=61)))
        self.assertEqual(self.client.wait_response(60)["error"]["code"], -32700)
        self.assertIn("name_t", self.client.wait_response(61)["result"]["contents"]["value"])

    def test_input_that_cannot_be_followed_ends_the_server_with_status_1(self):
        fresh = lsp_client.Client(SERVER, root=self.folder, stderr=lsp_client.subprocess.PIPE)
        fresh.send_raw(b"x" * 70000)
        self.assertEqual(fresh.process.wait(timeout=10), 1)
        self.assertIn(b"cannot be read as messages", fresh.process.stderr.read())
        fresh.process.stdin.close()
        fresh.process.stdout.close()
        fresh.process.stderr.close()


class DiskTest(ProjectCase):
    """Files that other programs create, change and delete."""

    def capabilities(self):
        return {"workspace": {"didChangeWatchedFiles": {"dynamicRegistration": True}}}

    def changed(self, name, kind):
        self.client.notify("workspace/didChangeWatchedFiles",
                           {"changes": [{"uri": uri(self.path(name)), "type": kind}]})

    def test_the_server_asks_for_file_events_and_follows_them(self):
        registration = self.client.wait_request("client/registerCapability")
        self.assertEqual(registration["params"]["registrations"][0]["method"], "workspace/didChangeWatchedFiles")
        self.client.respond(registration["id"], None)
        self.open_clean()
        self.write("types.def", 'type id_t = "INTEGER";\n')
        self.changed("types.def", 2)
        diagnostics = self.client.wait_diagnostics(self.main, predicate=bool)
        self.assertEqual(diagnostics[0]["message"], 'Unable to resolve SQL type "name_t"')
        os.remove(self.types)
        self.changed("types.def", 3)
        diagnostics = self.client.wait_diagnostics(self.main, predicate=bool)
        self.assertIn("Failed to open compiled file", diagnostics[0]["message"])
        self.write("types.def", TYPES)
        self.changed("types.def", 1)
        self.assertEqual(self.client.wait_diagnostics(self.main), [])

    def test_an_initializer_file_changed_on_disk_is_read_again(self):
        self.open_clean()
        self.write("groups.init", '"1", "admins"\n"2" "users"\n')
        self.changed("groups.init", 2)
        diagnostics = self.client.wait_diagnostics(self.path("groups.init"), predicate=bool)
        self.assertTrue(diagnostics[0]["message"].startswith("syntax error"), diagnostics)


class ProjectsTest(ProjectCase):
    def test_a_file_included_from_two_roots_hears_from_both(self):
        # Only the root that sorts last declares the type again.
        self.write("other.def", 'type extra_t = "INTEGER";\ninclude "types.def";\ntable others { primary id_t id; };\n')
        self.client.close()
        self.client = lsp_client.Client(SERVER, root=self.folder, options=self.options())
        self.client.open(self.types, TYPES + 'type extra_t = "BIGINT";\n')
        diagnostics = self.client.wait_diagnostics(self.types, predicate=bool)
        self.assertEqual(diagnostics[0]["message"], 'Redefinition of type "extra_t"')
        self.assertEqual(diagnostics[0]["range"]["start"]["line"], 2)
        result = self.at("textDocument/references", self.types, TYPES, "id_t", context={"includeDeclaration": False})
        self.assertEqual({r["uri"] for r in result}, {uri(self.main), uri(self.path("other.def"))})

    def test_an_untitled_document_is_compiled_on_its_own(self):
        self.client.notify("textDocument/didOpen", {"textDocument": {
            "uri": "untitled:Untitled-1", "languageId": "tabula", "version": 1,
            "text": 'type t = "X";\ntable x { primary t id; u *n; };\n'}})
        deadline = time.monotonic() + 10
        while True:
            published = [m for m in self.client.notifications if m.get("method") == "textDocument/publishDiagnostics"
                         and m["params"]["uri"] == "untitled:Untitled-1"]
            if published:
                break
            self.client.pump(deadline)
        diagnostics = published[0]["params"]["diagnostics"]
        self.assertEqual(diagnostics[0]["message"], 'Unable to resolve SQL type "u"')
        self.assertEqual(diagnostics[0]["range"]["start"], {"line": 1, "character": 24})

    def test_a_message_about_a_name_holding_a_line_end_is_shown_whole(self):
        self.open_clean()
        self.client.change(self.main, MAIN + 'query broken = "SELECT a{FIELD:bad\\ntype} FROM users";\n', 2)
        diagnostics = self.client.wait_diagnostics(self.main, predicate=bool)
        self.assertEqual(diagnostics[0]["message"], 'Unable to resolve SQL type "bad\ntype"')

    def test_columns_stay_right_in_a_file_on_disk_that_is_not_utf8(self):
        raw = b'/* caf\xe9 \xe2\x82 */ type id_t = "INTEGER"; type name_t = "TEXT";\n'
        with open(self.types, "wb") as out:
            out.write(raw)
        shown = raw.decode("utf-8", errors="replace")  # as an editor shows the file
        self.open_clean()
        result = self.at("textDocument/definition", self.main, MAIN, "name_t name")
        self.assertEqual(result[0]["range"]["start"], {"line": 0, "character": shown.index("name_t")})


class LintTest(ProjectCase):
    def options(self):
        return {}

    LINKED = ('type id_t = "INTEGER";\ntable parent_row { primary id_t id; };\n'
              'table child_row { primary id_t id; id_t parent_id [outgoing: parent_row]; };\n')

    def test_lint_findings_are_warnings_with_their_rule_and_the_settings_turn_rules_off(self):
        self.client.open(self.path("linked.def"), self.LINKED)
        diagnostics = self.client.wait_diagnostics(self.path("linked.def"), predicate=bool)
        unindexed = [d for d in diagnostics if d.get("code") == "link-unindexed"]
        self.assertEqual(len(unindexed), 1, diagnostics)
        self.assertEqual(unindexed[0]["severity"], 2)
        line, character = position_of(self.LINKED, "parent_id")
        self.assertEqual(unindexed[0]["range"]["start"]["line"], line)
        self.client.notify("workspace/didChangeConfiguration",
                           {"settings": {"tabula": {"lint": {"disable": ["link-unindexed"]}}}})
        diagnostics = self.client.wait_diagnostics(
            self.path("linked.def"), predicate=lambda d: not any(x.get("code") == "link-unindexed" for x in d))
        self.assertNotIn("link-unindexed", [d.get("code") for d in diagnostics])

    def test_warnings_stay_through_an_edit_until_the_rules_have_run_again(self):
        self.client.open(self.path("linked.def"), self.LINKED)
        self.client.wait_diagnostics(self.path("linked.def"), predicate=bool)
        # The edit's own diagnostics come before the rules run on it: they
        # carry the warnings of the last check rather than none.
        edited = self.LINKED.replace("parent_id", "parent_ref")
        self.client.change(self.path("linked.def"), edited, 2)
        kept = self.client.wait_diagnostics(self.path("linked.def"))
        self.assertEqual([d.get("code") for d in kept], ["link-unindexed"])
        self.client.change(self.path("linked.def"), edited.replace("id_t parent_ref", "index id_t parent_ref"), 3)
        self.client.wait_diagnostics(self.path("linked.def"), predicate=lambda d: d == [])


if __name__ == "__main__":
    SERVER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
