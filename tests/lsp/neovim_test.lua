-- Run by neovim_run.sh: opens the example project through Neovim's own LSP
-- client, waits for diagnostics, breaks a type name and sees the diagnostic
-- at the use, fixes it and sees it cleared, jumps to a definition, hovers and
-- lists the symbols; then files changed on disk by another program, a file
-- included from two root files, and a buffer that is no file, with its
-- errors and then a lint warning. Exits 0 when
-- every step holds, 1 with a message otherwise.
local server, shop = os.getenv("TABULA_LSP"), os.getenv("TABULA_SHOP")

local function write_file(path, text)
    local file = assert(io.open(path, "w"))
    file:write(text)
    file:close()
end

-- Another program edits the file: sed writes a new file in its place.
local function sed(path, script)
    vim.fn.system({ "sed", "-i", script, path })
    assert(vim.v.shell_error == 0, "sed failed on " .. path)
end

local function messages(buf)
    local found = {}
    for _, diagnostic in ipairs(vim.diagnostic.get(buf)) do found[#found + 1] = diagnostic.message end
    table.sort(found)
    return found
end

local function step(name, ok, detail)
    if not ok then error(name .. (detail and (": " .. vim.inspect(detail)) or ""), 0) end
    io.stdout:write("ok - " .. name .. "\n")
end

local function wait(what, condition)
    step("wait for " .. what, vim.wait(15000, condition, 20))
end

local function run()
    -- Two projects share common.def, each lacking the type the other declares;
    -- they are there before the server learns the workspace's includes.
    vim.fn.mkdir(shop .. "/two", "p")
    write_file(shop .. "/two/common.def", "table shared {\n    primary a_t first;\n    b_t second;\n};\n")
    write_file(shop .. "/two/a.def", 'type b_t = "INTEGER";\ninclude "common.def";\n')
    write_file(shop .. "/two/b.def", 'type a_t = "INTEGER";\ninclude "common.def";\n')

    vim.cmd("edit " .. shop .. "/main.def")
    local buf = vim.api.nvim_get_current_buf()
    local published = {}
    local registrations = 0
    local client_id = vim.lsp.start_client({
        name = "tabula-lsp",
        cmd = { server },
        root_dir = shop,
        handlers = {
            ["textDocument/publishDiagnostics"] = function(err, result, ctx, config)
                published[vim.uri_to_fname(result.uri)] = (published[vim.uri_to_fname(result.uri)] or 0) + 1
                return vim.lsp.diagnostic.on_publish_diagnostics(err, result, ctx, config)
            end,
            ["client/registerCapability"] = function()
                registrations = registrations + 1
                return vim.NIL
            end,
        },
    })
    step("client started", client_id ~= nil)
    vim.lsp.buf_attach_client(buf, client_id)
    local main = vim.api.nvim_buf_get_name(buf)
    wait("first diagnostics", function() return published[main] ~= nil end)
    step("the example compiles cleanly", #vim.diagnostic.get(buf) == 0, vim.diagnostic.get(buf))

    -- Break the type of "email" in the customers table.
    local lines = vim.api.nvim_buf_get_lines(buf, 0, -1, false)
    local row, col
    for i, line in ipairs(lines) do
        local at = line:find("email_t email", 1, true)
        if at then row, col = i - 1, at - 1 break end
    end
    step("found the field", row ~= nil)
    vim.api.nvim_buf_set_text(buf, row, col, row, col + 7, { "emial_t" })
    wait("the diagnostic at the use", function() return #vim.diagnostic.get(buf) > 0 end)
    local diagnostic = vim.diagnostic.get(buf)[1]
    step("message and place", diagnostic.message == 'Unable to resolve SQL type "emial_t"'
        and diagnostic.lnum == row and diagnostic.col == col, diagnostic)
    vim.api.nvim_buf_set_text(buf, row, col, row, col + 7, { "email_t" })
    wait("the diagnostic cleared", function() return #vim.diagnostic.get(buf) == 0 end)

    -- Jump from the type name to its declaration in types.def.
    vim.api.nvim_win_set_cursor(0, { row + 1, col + 2 })
    vim.lsp.buf.definition()
    wait("the jump to types.def", function() return vim.api.nvim_buf_get_name(0):match("types%.def$") ~= nil end)
    local cursor = vim.api.nvim_win_get_cursor(0)
    step("cursor on the declaration", vim.api.nvim_get_current_line():sub(cursor[2] + 1, cursor[2] + 7) == "email_t",
        vim.api.nvim_get_current_line())
    vim.cmd("buffer " .. buf)

    vim.api.nvim_win_set_cursor(0, { row + 1, col + 2 })
    local hover = vim.lsp.buf_request_sync(buf, "textDocument/hover", vim.lsp.util.make_position_params(), 10000)
    local text = hover and hover[client_id] and hover[client_id].result and hover[client_id].result.contents.value
    step("hover shows the SQL text", text ~= nil and text:find("VARCHAR(254)", 1, true) ~= nil, text)

    local symbols = vim.lsp.buf_request_sync(buf, "textDocument/documentSymbol",
        { textDocument = vim.lsp.util.make_text_document_params() }, 10000)
    local names = {}
    for _, symbol in ipairs(symbols[client_id].result or {}) do names[symbol.name] = symbol end
    step("symbols list the tables with their fields", names.customers ~= nil and names.customer_by_email ~= nil
        and #names.customers.children == 6, vim.tbl_keys(names))

    -- Files changed on disk by another program. Neovim 0.7 offers no
    -- workspace/didChangeWatchedFiles (its client capabilities lack it), so
    -- the server registers no watcher and hears nothing when a file that is
    -- not open changes: it reads the disk afresh on each run, and the next
    -- thing Neovim sends (a save here) brings the change in.
    step("no file watcher asked of Neovim 0.7", registrations == 0, registrations)
    vim.cmd("bwipeout! " .. vim.fn.bufnr(shop .. "/types.def"))
    sed(shop .. "/types.def", "s/^type email_t /type mail_t /")
    vim.cmd("silent write")
    wait("the renamed type missing after a save", function()
        return vim.deep_equal(messages(buf), { 'Unable to resolve SQL type "email_t"' })
    end)
    sed(shop .. "/types.def", "s/^type mail_t /type email_t /")
    vim.cmd("silent write")
    wait("the diagnostic cleared after the next save", function() return #vim.diagnostic.get(buf) == 0 end)
    -- An open file changed on disk: Neovim reloads it and sends the new text.
    vim.o.autoread = true
    sed(main, "s/email_t email;/emaill_t email;/")
    vim.cmd("silent checktime")
    wait("the reloaded text diagnosed", function()
        return vim.deep_equal(messages(buf), { 'Unable to resolve SQL type "emaill_t"' })
    end)
    sed(main, "s/emaill_t email;/email_t email;/")
    vim.cmd("silent checktime")
    wait("the diagnostic cleared after the reload", function() return #vim.diagnostic.get(buf) == 0 end)

    -- A file included from two root files shows what each project finds.
    vim.cmd("edit " .. shop .. "/two/common.def")
    local common = vim.api.nvim_get_current_buf()
    vim.lsp.buf_attach_client(common, client_id)
    wait("the errors of both projects", function()
        return vim.deep_equal(messages(common),
            { 'Unable to resolve SQL type "a_t"', 'Unable to resolve SQL type "b_t"' })
    end)
    local lines = {}
    for _, diagnostic in ipairs(vim.diagnostic.get(common)) do lines[diagnostic.message:sub(-4, -2)] = diagnostic.lnum end
    step("each at its use", lines.a_t == 1 and lines.b_t == 2, lines)

    -- A document that is no file. Neovim 0.7 sends a buffer without a name as
    -- "file://" and files the answer under a buffer named "/", so no server
    -- can reach it; a buffer named by a URI of another scheme (what plugins
    -- use for documents that are no files) goes to the server as it is, and
    -- the answer comes back to it.
    local untitled = vim.api.nvim_create_buf(true, false)
    vim.api.nvim_buf_set_name(untitled, "untitled://Untitled-1")
    vim.api.nvim_buf_set_lines(untitled, 0, -1, false, { "table t {", "    primary nosuch_t x;", "};" })
    vim.api.nvim_set_current_buf(untitled)
    vim.lsp.buf_attach_client(untitled, client_id)
    wait("diagnostics of the unsaved document", function() return #vim.diagnostic.get(untitled) > 0 end)
    local diagnostic = vim.diagnostic.get(untitled)[1]
    step("its message and place", diagnostic.message == 'Unable to resolve SQL type "nosuch_t"'
        and diagnostic.lnum == 1 and diagnostic.col == 12, diagnostic)

    -- Once it compiles, the lint rules' warning on its unindexed link.
    vim.api.nvim_buf_set_lines(untitled, 0, -1, false,
        { 'type id_t = "INTEGER";', "table t {", "    primary id_t x;", "    id_t up [outgoing: t];", "};" })
    wait("the lint warning", function()
        local found = vim.diagnostic.get(untitled)
        return #found == 1 and found[1].severity == vim.diagnostic.severity.WARN
    end)
    diagnostic = vim.diagnostic.get(untitled)[1]
    local code = diagnostic.code or (diagnostic.user_data and diagnostic.user_data.lsp.code)
    step("its rule and place", code == "link-unindexed" and diagnostic.lnum == 3 and diagnostic.col == 9,
        diagnostic)

    vim.lsp.stop_client(client_id)
end

local ok, message = pcall(run)
if not ok then
    io.stderr:write("not ok - " .. tostring(message) .. "\n")
    vim.cmd("cquit 1")
end
vim.cmd("qall!")
