-- Run by neovim_run.sh: opens the example project through Neovim's own LSP
-- client, waits for diagnostics, breaks a type name and sees the diagnostic
-- at the use, fixes it and sees it cleared, jumps to a definition, hovers and
-- lists the symbols. Exits 0 when every step holds, 1 with a message otherwise.
local server, shop = os.getenv("TABULA_LSP"), os.getenv("TABULA_SHOP")

local function step(name, ok, detail)
    if not ok then error(name .. (detail and (": " .. vim.inspect(detail)) or ""), 0) end
    io.stdout:write("ok - " .. name .. "\n")
end

local function wait(what, condition)
    step("wait for " .. what, vim.wait(15000, condition, 20))
end

local function run()
    vim.cmd("edit " .. shop .. "/main.def")
    local buf = vim.api.nvim_get_current_buf()
    local published = {}
    local client_id = vim.lsp.start_client({
        name = "tabula-lsp",
        cmd = { server },
        root_dir = shop,
        handlers = {
            ["textDocument/publishDiagnostics"] = function(err, result, ctx, config)
                published[vim.uri_to_fname(result.uri)] = (published[vim.uri_to_fname(result.uri)] or 0) + 1
                return vim.lsp.diagnostic.on_publish_diagnostics(err, result, ctx, config)
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

    vim.lsp.stop_client(client_id)
end

local ok, message = pcall(run)
if not ok then
    io.stderr:write("not ok - " .. tostring(message) .. "\n")
    vim.cmd("cquit 1")
end
vim.cmd("qall!")
